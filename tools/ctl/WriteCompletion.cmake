# Writes dadovuctl's completion script for one shell to a file:
#   cmake -DDADOVUCTL=path -DSHELL_NAME=bash|zsh -DOUTPUT=file -P WriteCompletion.cmake
execute_process(COMMAND "${DADOVUCTL}" completion "${SHELL_NAME}"
                OUTPUT_FILE "${OUTPUT}.tmp" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${OUTPUT}.tmp")
  message(FATAL_ERROR "dadovuctl completion ${SHELL_NAME} failed: ${result}")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
