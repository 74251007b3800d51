# Session benchmarks: bulk output from the SSH-1 test server through the whole client path
# (decrypt, unframe, interpreter, screen) per cipher, the same without the terminal, PuTTY's
# plink on the same server as a measuring stick, and the time from connect to the first output.
if(TARGET corvid1_session AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  add_executable(session_bench ${CMAKE_CURRENT_LIST_DIR}/session_bench.cpp)
  target_link_libraries(session_bench PRIVATE corvid1_session benchmark::benchmark)
  target_compile_definitions(session_bench PRIVATE
    CORVID1_TEST_SERVER="$<TARGET_FILE:corvid1-test-server>")
  add_dependencies(session_bench corvid1-test-server)
endif()
