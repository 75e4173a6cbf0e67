// The product's version, in one place: the version resources of vorn.sys and
// vornctl.exe are made from it, `vornctl version` prints it and the image
// checks compare the built files with it. Plain macros, as windres reads this
// file too.
#pragma once

#define VORN_VERSION_MAJOR 1
#define VORN_VERSION_MINOR 0
#define VORN_VERSION_PATCH 0
#define VORN_VERSION_BUILD 0
#define VORN_VERSION_TEXT "1.0.0.0"
#define VORN_PRODUCT_NAME "vorn"
