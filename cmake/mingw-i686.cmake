# Cross toolchain for the 32-bit kernel-mode driver image.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
# The oldest Windows this image runs on, Windows 2000 (NT 5.0): the DDK headers
# declare nothing newer, and the image check holds its imports to that kernel.
set(VORN_WINDOWS_VERSION _WIN32_WINNT=0x0500 NTDDI_VERSION=0x05000000)
set(VORN_SYSROOT /usr/i686-w64-mingw32)
set(VORN_ENTRY_SYMBOL _DriverEntry@8)
set(CMAKE_FIND_ROOT_PATH ${VORN_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
