# Channel messages fuzz target: a libFuzzer binary with CORVID1_LIBFUZZER (clang), otherwise a
# replay of the saved corpus as a core test. The channel sources are compiled in directly, so
# that they get the fuzzer's coverage instrumentation.
set(channels_fuzz_sources ${CMAKE_CURRENT_LIST_DIR}/channels_fuzz.cpp
                          ${PROJECT_SOURCE_DIR}/session/channels/forwarder.cpp
                          ${PROJECT_SOURCE_DIR}/session/channels/port_forward.cpp
                          ${PROJECT_SOURCE_DIR}/session/channels/x11.cpp)
if(CORVID1_LIBFUZZER)
  add_executable(channels_fuzz ${channels_fuzz_sources})
  target_link_libraries(channels_fuzz PRIVATE corvid1_session)
  target_compile_options(channels_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(channels_fuzz PRIVATE -fsanitize=fuzzer)
else()
  add_executable(channels_replay ${channels_fuzz_sources}
                                 ${CMAKE_CURRENT_LIST_DIR}/feed_bytes_replay.cpp)
  target_link_libraries(channels_replay PRIVATE corvid1_session)
  add_test(NAME channels_corpus_replay
           COMMAND channels_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/channels)
  set_tests_properties(channels_corpus_replay PROPERTIES LABELS core)
endif()
