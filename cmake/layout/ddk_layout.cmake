# The layout probe: the sizes and offsets of the layout list as MinGW-w64's
# DDK headers give them, for the architecture of this (hosted) build, in a
# generated header the hosted kernel's layout check includes.
include(${CMAKE_SOURCE_DIR}/cmake/image_compile.cmake)

# Sets `header_var` to the generated header's path and adds the command that
# makes it.
function(vorn_ddk_layout_header header_var)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(arch x86_64)
  elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(arch i686)
  else()
    message(FATAL_ERROR "the layout probe knows no ${CMAKE_SIZEOF_VOID_P}-byte-pointer architecture")
  endif()
  # The image's own toolchain file names the compiler, the sysroot and the
  # Windows version; in this function's scope it changes nothing outside.
  include(${CMAKE_SOURCE_DIR}/cmake/mingw-${arch}.cmake)
  find_program(VORN_LAYOUT_PROBE_COMPILER_${arch} ${CMAKE_CXX_COMPILER})
  set(compiler ${VORN_LAYOUT_PROBE_COMPILER_${arch}})
  if(NOT compiler)
    message(FATAL_ERROR
      "${CMAKE_CXX_COMPILER} not found: the hosted kernel's layouts are checked against a probe "
      "it compiles. Install g++-mingw-w64-i686 and g++-mingw-w64-x86-64 (tools/install-deps.sh).")
  endif()

  set(dir ${CMAKE_BINARY_DIR}/generated)
  set(header ${dir}/ddk_layout.h)
  set(asm ${dir}/ddk_layout_probe.s)
  set(probe ${CMAKE_SOURCE_DIR}/cmake/layout/ddk_layout_probe.cpp)
  set(defines ${VORN_WINDOWS_VERSION} ${VORN_IMAGE_DEFINITIONS})
  list(TRANSFORM defines PREPEND -D)
  file(MAKE_DIRECTORY ${dir})
  add_custom_command(OUTPUT ${header}
    COMMAND ${compiler} ${VORN_IMAGE_COMPILE_OPTIONS} ${defines}
            -I${CMAKE_SOURCE_DIR} -isystem ${VORN_SYSROOT}/include/ddk
            -MD -MF ${asm}.d -MT ${header} -S -o ${asm} ${probe}
    COMMAND ${CMAKE_COMMAND} -DASM=${asm} -DHEADER=${header} -DARCH=${arch}
            -P ${CMAKE_SOURCE_DIR}/cmake/layout/ddk_layout_header.cmake
    DEPENDS ${probe} ${CMAKE_SOURCE_DIR}/cmake/layout/ddk_layout_header.cmake
            ${CMAKE_SOURCE_DIR}/cmake/image_compile.cmake
    DEPFILE ${asm}.d
    BYPRODUCTS ${asm}
    COMMENT "Layout probe (${arch}): sizes and offsets as MinGW-w64's DDK headers give them"
    VERBATIM)
  set(${header_var} ${header} PARENT_SCOPE)
endfunction()
