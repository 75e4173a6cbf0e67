# The layout probe: the sizes and offsets of the layout list as MinGW-w64's
# DDK headers give them for one architecture, in a generated header the
# hosted kernel's layout check includes.
include(${CMAKE_SOURCE_DIR}/cmake/image_compile.cmake)

# The image architecture this (hosted) build's pointers match.
function(vorn_hosted_image_arch arch_var)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(${arch_var} x86_64 PARENT_SCOPE)
  elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(${arch_var} i686 PARENT_SCOPE)
  else()
    message(FATAL_ERROR "the layout probe knows no ${CMAKE_SIZEOF_VOID_P}-byte-pointer architecture")
  endif()
endfunction()

# Adds the command that makes generated/<arch>/ddk_layout.h and sets
# `header_var` to its path.
function(vorn_ddk_layout_header arch header_var)
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

  set(dir ${CMAKE_BINARY_DIR}/generated/${arch})
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
