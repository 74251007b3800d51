# CRC compensation attack detector fuzz target, checked against a quadratic reference: a
# libFuzzer binary with CORVID1_LIBFUZZER (clang), otherwise a replay of the saved corpus as a
# core test. The detector's one source file is compiled in directly, so that it gets the
# fuzzer's coverage instrumentation without touching the session library's flags.
set(deattack_fuzz_sources ${CMAKE_CURRENT_LIST_DIR}/deattack_fuzz.cpp
                          ${PROJECT_SOURCE_DIR}/session/deattack.cpp)
if(CORVID1_LIBFUZZER)
  add_executable(deattack_fuzz ${deattack_fuzz_sources})
  target_include_directories(deattack_fuzz PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(deattack_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(deattack_fuzz PRIVATE -fsanitize=fuzzer)
else()
  add_executable(deattack_replay ${deattack_fuzz_sources}
                                 ${CMAKE_CURRENT_LIST_DIR}/feed_bytes_replay.cpp)
  target_include_directories(deattack_replay PRIVATE ${PROJECT_SOURCE_DIR})
  add_test(NAME deattack_corpus_replay
           COMMAND deattack_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/deattack)
  set_tests_properties(deattack_corpus_replay PROPERTIES LABELS core)
endif()
