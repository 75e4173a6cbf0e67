# Cross toolchain for the 64-bit kernel-mode driver image.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# The oldest Windows this image runs on, Windows Server 2003 SP1, the first x64 kernel (NT 5.2): the DDK headers
# declare nothing newer, and the image check holds its imports to that kernel.
set(VORN_WINDOWS_VERSION _WIN32_WINNT=0x0502 NTDDI_VERSION=0x05020100)
set(VORN_SYSROOT /usr/x86_64-w64-mingw32)
set(VORN_ENTRY_SYMBOL DriverEntry)
set(CMAKE_FIND_ROOT_PATH ${VORN_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
