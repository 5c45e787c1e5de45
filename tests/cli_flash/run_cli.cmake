# Runs vexu-cli with ARGS ("|"-separated), through EMULATOR when one is
# given (wine for the Windows build), and checks its exit status against
# EXPECT_CODE and its standard output and error against the EXPECT_OUTPUT
# regular expression. The argument @LARGE_IMAGE@ becomes a file one byte
# larger than an M25P20.
string(REPLACE "|" ";" args "${ARGS}")
if(args MATCHES "@LARGE_IMAGE@")
  set(image "${WORK_DIR}/larger_than_m25p20.bin")
  string(REPEAT "Z" 262145 content)
  file(WRITE "${image}" "${content}")
  string(REPLACE "@LARGE_IMAGE@" "${image}" args "${args}")
endif()
execute_process(COMMAND ${EMULATOR} "${CLI}" ${args}
  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 100)
if(NOT "${code}" STREQUAL "${EXPECT_CODE}")
  message(FATAL_ERROR "exit status ${code}, expected ${EXPECT_CODE}\nstdout: ${out}\nstderr: ${err}")
endif()
if(NOT "${out}${err}" MATCHES "${EXPECT_OUTPUT}")
  message(FATAL_ERROR "output does not match \"${EXPECT_OUTPUT}\"\nstdout: ${out}\nstderr: ${err}")
endif()
