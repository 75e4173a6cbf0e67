# How every kernel-mode source is compiled, for the image (cmake/sys) and for
# the layout probe the hosted build checks its structures against.
set(VORN_IMAGE_COMPILE_OPTIONS
  -std=c++17 -ffreestanding -fno-exceptions -fno-rtti
  -fno-threadsafe-statics -fno-stack-protector -nostdinc++
  -O2 -Wall -Wextra -Werror)
# wdm.h compares against NTDDI_WINVISTA, which sdkddkver.h never defines;
# undefined, it would count as 0 and pull in a Vista-only member.
set(VORN_IMAGE_DEFINITIONS NTDDI_WINVISTA=0x06000000)
