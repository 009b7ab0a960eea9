# Runs a program and requires it to exit 0 with stdout equal to a file, byte for byte.
#   cmake -DPROGRAM=exe [-DARGS=a;b] [-DEMULATOR=runner] -DEXPECTED=file [-DACTUAL=file]
#         -P compare_output.cmake
# EMULATOR runs PROGRAM when set (a cross build's CMAKE_CROSSCOMPILING_EMULATOR). ACTUAL, when
# set, receives the output on a mismatch, so that it can be diffed against EXPECTED.
foreach(var PROGRAM EXPECTED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "compare_output.cmake needs -D${var}=...")
  endif()
endforeach()

execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARGS}
                OUTPUT_VARIABLE actual ERROR_VARIABLE errors RESULT_VARIABLE rc)
file(READ "${EXPECTED}" expected)

if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "${PROGRAM} exited with ${rc}\nstderr:\n${errors}")
endif()
if(actual STREQUAL expected)
  return()
endif()

# Where the two first differ: the longest common prefix, found by halving.
string(LENGTH "${actual}" actual_len)
string(LENGTH "${expected}" expected_len)
set(low 0)
if(actual_len LESS expected_len)
  set(high ${actual_len})
else()
  set(high ${expected_len})
endif()
while(low LESS high)
  math(EXPR mid "(${low} + ${high} + 1) / 2")
  string(SUBSTRING "${actual}" 0 ${mid} a)
  string(SUBSTRING "${expected}" 0 ${mid} e)
  if(a STREQUAL e)
    set(low ${mid})
  else()
    math(EXPR high "${mid} - 1")
  endif()
endwhile()

string(SUBSTRING "${expected}" 0 ${low} same)
string(REGEX MATCHALL "\n" ends "${same}")
list(LENGTH ends line)
math(EXPR line "${line} + 1")
math(EXPR from "${low} - 60")
if(from LESS 0)
  set(from 0)
endif()
string(SUBSTRING "${expected}" ${from} 160 expected_near)
string(SUBSTRING "${actual}" ${from} 160 actual_near)

set(hint "")
if(DEFINED ACTUAL)
  file(WRITE "${ACTUAL}" "${actual}")
  set(hint "\nthe output is in ${ACTUAL}; see diff -u ${EXPECTED} ${ACTUAL}")
endif()
string(FIND "${actual}" "\r" cr)
if(NOT cr EQUAL -1)
  string(APPEND hint "\nthe output holds a carriage return (byte ${cr})")
endif()
if(NOT errors STREQUAL "")
  string(APPEND hint "\nstderr:\n${errors}")
endif()
message(FATAL_ERROR
  "output differs from ${EXPECTED} at byte ${low} (line ${line}); "
  "${actual_len} bytes against ${expected_len} expected\n"
  "expected, from byte ${from}:\n  ${expected_near}\n"
  "actual, from byte ${from}:\n  ${actual_near}${hint}")
