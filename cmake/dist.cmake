# What a Windows user copies, per architecture, in build/dist/<arch>/: vorn.sys
# and vornctl.exe from the cross build, vorn.inf and INSTALL.txt. Included
# from the top-level CMakeLists.txt; the copy itself runs this file again as a
# script (cmake -P) once the cross build of that architecture is done.
if(CMAKE_SCRIPT_MODE_FILE)
  file(MAKE_DIRECTORY ${DIST_DIR})
  foreach(file ${SYS_DIR}/vorn.sys ${SYS_DIR}/vornctl.exe
               ${SOURCE_DIR}/install/vorn.inf ${SOURCE_DIR}/install/INSTALL.txt)
    if(NOT EXISTS ${file})
      message(FATAL_ERROR "dist: ${file} is missing")
    endif()
    get_filename_component(name ${file} NAME)
    file(COPY_FILE ${file} ${DIST_DIR}/${name} ONLY_IF_DIFFERENT)
  endforeach()
  return()
endif()

foreach(arch i686 x86_64)
  add_custom_target(vorn_dist_${arch} ALL
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
            -DSYS_DIR=${CMAKE_BINARY_DIR}/sys-${arch}
            -DDIST_DIR=${CMAKE_BINARY_DIR}/dist/${arch}
            -P ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Assembling dist/${arch}"
    VERBATIM)
  add_dependencies(vorn_dist_${arch} vorn_sys_${arch})
endforeach()

# The Wine test's installer: a small Win32 program that installs the INF on a
# root-enumerated device through setupapi and newdev, as devcon does.
find_program(VORN_MINGW64_CXX x86_64-w64-mingw32-g++ REQUIRED)
set(VORN_INSTALL_DEVICE ${CMAKE_BINARY_DIR}/wine/install_device.exe)
add_custom_command(OUTPUT ${VORN_INSTALL_DEVICE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/wine
  COMMAND ${VORN_MINGW64_CXX} -std=c++17 -O2 -Wall -Wextra -Werror -static
          -o ${VORN_INSTALL_DEVICE} ${CMAKE_SOURCE_DIR}/tests/wine/install_device.cpp
          -lsetupapi -lnewdev
  DEPENDS ${CMAKE_SOURCE_DIR}/tests/wine/install_device.cpp
  COMMENT "Building install_device.exe for the Wine test"
  VERBATIM)
add_custom_target(wine_install_device ALL DEPENDS ${VORN_INSTALL_DEVICE})
