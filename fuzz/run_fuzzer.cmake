# Runs a fuzzer on a fresh copy of its seed corpus, so a test run never adds files to the source
# tree. Arguments: FUZZER, CORPUS, WORK (a folder under the build tree), SECONDS, DICT.
string(RANDOM LENGTH 8 suffix)
set(run "${WORK}/run-${suffix}")
file(REMOVE_RECURSE "${run}")
file(MAKE_DIRECTORY "${run}/corpus" "${run}/artifacts")
file(COPY "${CORPUS}/" DESTINATION "${run}/corpus")
execute_process(
    COMMAND "${FUZZER}" -max_total_time=${SECONDS} -max_len=4096 -dict=${DICT}
            -artifact_prefix=${run}/artifacts/ "${run}/corpus"
    WORKING_DIRECTORY "${run}"
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "fuzzer failed (${result}); inputs kept in ${run}/artifacts")
endif()
file(REMOVE_RECURSE "${run}")
