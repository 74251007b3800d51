# SSH-1 private key file parser fuzz target: a libFuzzer binary with CORVID1_LIBFUZZER (clang),
# otherwise a replay of the saved corpus (seeded with puttygen's files and the damaged ones
# beside the session's tests) as a core test.
if(CORVID1_LIBFUZZER)
  add_executable(key_file_fuzz ${CMAKE_CURRENT_LIST_DIR}/key_file_fuzz.cpp
                               ${PROJECT_SOURCE_DIR}/session/auth/user_key.cpp)
  target_link_libraries(key_file_fuzz PRIVATE corvid1_session)
  target_compile_options(key_file_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(key_file_fuzz PRIVATE -fsanitize=fuzzer)
else()
  add_executable(key_file_replay ${CMAKE_CURRENT_LIST_DIR}/key_file_fuzz.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/feed_bytes_replay.cpp)
  target_link_libraries(key_file_replay PRIVATE corvid1_session)
  add_test(NAME key_file_corpus_replay
           COMMAND key_file_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/key_file)
  set_tests_properties(key_file_corpus_replay PROPERTIES LABELS core)
endif()
