# golden_case.cmake: runs the program on one input file as a shell would, and compares what it
# writes, byte for byte, with a golden file; in the golden file "\033[3?m" stands for any of the
# eight basic colours. Where the case has a .rest file, the program shares its input with the next
# reader, which must get exactly that.
#   cmake -DPROGRAM=... -DINPUT=case.in -DEXPECTED=golden.txt -DOUTPUT=case.out [-DSHELL=sh]
#         -P golden_case.cmake
# Runs with CMake alone wherever the program runs; the rest needs a POSIX shell (SHELL).

execute_process(COMMAND "${PROGRAM}" INPUT_FILE "${INPUT}" OUTPUT_FILE "${OUTPUT}"
                ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status STREQUAL "0" OR NOT errors STREQUAL "")
  message(FATAL_ERROR "exit status ${status} (0 expected), standard error:\n${errors}")
endif()

file(READ "${OUTPUT}" written HEX)
file(READ "${EXPECTED}" expected HEX)
# Hex digits only, so only the colour's digit becomes a pattern (the golden files hold no bytes
# that could make up the same digits across a byte's boundary).
string(REPLACE "1b5b333f6d" "1b5b333[0-7]6d" pattern "${expected}")
if(NOT written MATCHES "^${pattern}$")
  message(FATAL_ERROR "the output, kept in ${OUTPUT}, is not that of ${EXPECTED}")
endif()

string(REGEX REPLACE "\\.in$" ".rest" rest_file "${INPUT}")
if(EXISTS "${rest_file}")
  if(NOT SHELL)
    message(STATUS "no POSIX shell here: the rest of the input is not checked")
    return()
  endif()
  execute_process(COMMAND "${SHELL}" -c "\"$0\" > /dev/null; cat" "${PROGRAM}"
                  INPUT_FILE "${INPUT}" OUTPUT_VARIABLE rest RESULT_VARIABLE status)
  file(READ "${rest_file}" expected_rest)
  if(NOT status STREQUAL "0" OR NOT rest STREQUAL expected_rest)
    message(FATAL_ERROR "the next reader got \"${rest}\", not \"${expected_rest}\"")
  endif()
endif()
