# feedBytes fuzz target: a libFuzzer binary with CORVID1_LIBFUZZER (clang), otherwise a replay of
# the saved corpus as a core test.
if(CORVID1_LIBFUZZER)
  add_executable(feed_bytes_fuzz ${CMAKE_CURRENT_LIST_DIR}/feed_bytes_fuzz.cpp)
  target_link_libraries(feed_bytes_fuzz PRIVATE corvid1_terminal)
  target_compile_options(feed_bytes_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(feed_bytes_fuzz PRIVATE -fsanitize=fuzzer)
  # Coverage feedback from the library too.
  target_compile_options(corvid1_terminal PRIVATE -fsanitize=fuzzer-no-link)
else()
  add_executable(feed_bytes_replay ${CMAKE_CURRENT_LIST_DIR}/feed_bytes_fuzz.cpp
                                   ${CMAKE_CURRENT_LIST_DIR}/feed_bytes_replay.cpp)
  target_link_libraries(feed_bytes_replay PRIVATE corvid1_terminal)
  add_test(NAME feed_bytes_corpus_replay
           COMMAND feed_bytes_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/feed_bytes)
  set_tests_properties(feed_bytes_corpus_replay PROPERTIES LABELS core)
endif()
