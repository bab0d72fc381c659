# Configures and builds the fuzz project with clang++, then runs each target for
# FUZZ_SECONDS on its seed corpus (copied, so that new inputs stay in the build tree).
foreach(var SOURCE_DIR BINARY_DIR CLANGXX FUZZ_SECONDS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_fuzz.cmake needs -D${var}=")
  endif()
endforeach()

execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BINARY_DIR} -G Ninja
                        -DCMAKE_CXX_COMPILER=${CLANGXX} -DCMAKE_BUILD_TYPE=RelWithDebInfo
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "fuzz project: configure failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} -j 2 RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "fuzz project: build failed")
endif()

foreach(pair archive_fuzzer:archive playlist_fuzzer:playlist netease_json_fuzzer:netease)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 target)
  list(GET pair 1 corpus)
  set(work ${BINARY_DIR}/corpus/${corpus})
  file(MAKE_DIRECTORY ${work})
  file(COPY ${SOURCE_DIR}/corpus/${corpus}/ DESTINATION ${work})
  message(STATUS "fuzzing ${target} for ${FUZZ_SECONDS} s")
  execute_process(COMMAND ${BINARY_DIR}/${target} -max_total_time=${FUZZ_SECONDS} -max_len=65536
                          -rss_limit_mb=2048 -print_final_stats=1 ${work}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${target} found a failing input (see above)")
  endif()
endforeach()
