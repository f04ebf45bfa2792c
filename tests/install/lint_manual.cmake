# Fails unless `mandoc -Tlint -W warning` has nothing to say about PAGE.
find_program(MANDOC mandoc)
if(NOT MANDOC)
  message(FATAL_ERROR "mandoc is missing: install the Debian package mandoc")
endif()
execute_process(COMMAND ${MANDOC} -Tlint -W warning ${PAGE}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
  message(FATAL_ERROR "mandoc -Tlint -W warning ${PAGE} (exit ${result}):\n${out}${err}")
endif()
