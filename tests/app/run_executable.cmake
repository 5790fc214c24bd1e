# Starts one of the tool's executables on the offscreen platform with a private HOME, lets it
# run a few seconds (it has no command line and closes only with its window), then checks
# what it logged.  -DEXE=<program> -DHOME=<folder> -DEXPECT=<regex over standard output>
file(REMOVE_RECURSE ${HOME})
file(MAKE_DIRECTORY ${HOME})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env HOME=${HOME} XDG_CONFIG_HOME=${HOME}/.config ${EXE}
  TIMEOUT 4
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  RESULT_VARIABLE rc)
if(NOT out MATCHES "${EXPECT}")
  message(FATAL_ERROR "${EXE} (${rc}) did not log what was expected:\n${out}\n${err}")
endif()
if(err MATCHES "ERROR: AddressSanitizer|runtime error:")
  message(FATAL_ERROR "${EXE}: sanitizer report:\n${err}")
endif()
message(STATUS "${EXE} ran: ${rc}")
