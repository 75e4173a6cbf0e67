# Turns the layout probe's assembly output (ASM) into the header (HEADER) the
# hosted layout check includes: each `->NAME VALUE` line becomes
# `#define NAME VALUE`. Run with cmake -P.
file(STRINGS ${ASM} lines REGEX "->DDK_[A-Za-z0-9_]+ [0-9]+")
set(text "// Generated from the layout probe's output (${ARCH}); do not edit.\n#pragma once\n")
set(count 0)
foreach(line IN LISTS lines)
  string(REGEX MATCH "->(DDK_[A-Za-z0-9_]+) ([0-9]+)" match "${line}")
  string(APPEND text "#define ${CMAKE_MATCH_1} ${CMAKE_MATCH_2}\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "the layout probe's output ${ASM} holds no layout lines")
endif()
# Rewritten only when it changes, so that an unchanged probe rebuilds nothing.
file(WRITE ${HEADER}.new "${text}")
file(COPY_FILE ${HEADER}.new ${HEADER} ONLY_IF_DIFFERENT)
file(REMOVE ${HEADER}.new)
