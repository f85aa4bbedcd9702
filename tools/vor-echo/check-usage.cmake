# Runs vor-echo with arguments it must refuse; passes when it ends with status 2 and says why.
# cmake -DPROG=<vor-echo> [-DRUNNER=<wine-run.sh>,<arch>] -DARGS=<a,b,c> -DEXPECT=<text>
#       -P check-usage.cmake
string(REPLACE "," ";" ARGS "${ARGS}")
string(REPLACE "," ";" RUNNER "${RUNNER}")
execute_process(COMMAND ${RUNNER} ${PROG} ${ARGS} RESULT_VARIABLE status
                OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 300)
if(NOT status STREQUAL "2")
  message(FATAL_ERROR "vor-echo ${ARGS}: status ${status}, expected 2\n${out}${err}")
endif()
if(NOT err MATCHES "vor-echo: .*${EXPECT}")
  message(FATAL_ERROR "vor-echo ${ARGS}: message lacks \"${EXPECT}\":\n${err}")
endif()
