# The login methods beyond the password: SSH-1 key files, RSA challenges, TIS and CryptoCard.
# Included at the end of session/CMakeLists.txt.
target_sources(corvid1_session PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/auth/user_key.cpp
  ${CMAKE_CURRENT_LIST_DIR}/auth/login_methods.cpp
)

# Key files made by puttygen -t rsa1, sound and damaged, live in tests/data beside the tests.
add_executable(user_key_test ${CMAKE_CURRENT_LIST_DIR}/auth/tests/user_key_test.cpp)
target_link_libraries(user_key_test PRIVATE corvid1_session GTest::gtest_main)
target_compile_definitions(user_key_test PRIVATE
  KEY_DATA_DIR="${CMAKE_CURRENT_LIST_DIR}/auth/tests/data")
gtest_discover_tests(user_key_test PROPERTIES LABELS core)

if(EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  add_executable(login_methods_test ${CMAKE_CURRENT_LIST_DIR}/auth/tests/login_methods_test.cpp)
  target_link_libraries(login_methods_test PRIVATE corvid1_session GTest::gtest_main)
  target_include_directories(login_methods_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tests)
  target_compile_definitions(login_methods_test PRIVATE
    CORVID1_TEST_SERVER="$<TARGET_FILE:corvid1-test-server>"
    KEY_DATA_DIR="${CMAKE_CURRENT_LIST_DIR}/auth/tests/data")
  add_dependencies(login_methods_test corvid1-test-server)
  # Prompts run on the session thread beside the login timer's: one label that both
  # `ctest -L core` and `ctest -L threads` select.
  gtest_discover_tests(login_methods_test PROPERTIES LABELS core-threads TIMEOUT 120)
endif()
