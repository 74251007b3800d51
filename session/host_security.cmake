# Host-key store, host-key fingerprints and the CRC compensation attack detector. Included at the
# end of session/CMakeLists.txt; self-contained so that it can be reviewed and moved on its own.
target_sources(corvid1_session PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/known_hosts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/host_key_fingerprint.cpp
  ${CMAKE_CURRENT_LIST_DIR}/deattack.cpp
  ${CMAKE_CURRENT_LIST_DIR}/crc_attack_inspector.cpp
  ${CMAKE_CURRENT_LIST_DIR}/host_key_policy.cpp
)

# The tests check against other people's code: GMP for decimal numbers, what PuTTY's key tool
# printed for a key (recorded in tests/data), and OpenSSH's ssh-keygen reading our files.
pkg_check_modules(HOSTSEC_ORACLES REQUIRED IMPORTED_TARGET gmp)
find_program(HOSTSEC_SSH_KEYGEN1 ssh-keygen1 REQUIRED)

add_executable(known_hosts_test ${CMAKE_CURRENT_LIST_DIR}/tests/known_hosts_test.cpp)
target_link_libraries(known_hosts_test PRIVATE corvid1_session GTest::gtest_main
                      PkgConfig::HOSTSEC_ORACLES)
target_compile_definitions(known_hosts_test PRIVATE SSH_KEYGEN1_PATH="${HOSTSEC_SSH_KEYGEN1}")
gtest_discover_tests(known_hosts_test PROPERTIES LABELS core)

add_executable(deattack_test ${CMAKE_CURRENT_LIST_DIR}/tests/deattack_test.cpp)
target_link_libraries(deattack_test PRIVATE corvid1_session GTest::gtest_main)
gtest_discover_tests(deattack_test PROPERTIES LABELS core)

# End to end against the test server: host keys, the attack detector on the wire, IPv6.
if(EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  add_executable(host_security_integration_test
    ${CMAKE_CURRENT_LIST_DIR}/tests/host_security_integration_test.cpp)
  target_link_libraries(host_security_integration_test PRIVATE corvid1_session GTest::gtest_main)
  target_include_directories(host_security_integration_test PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/tests)
  target_compile_definitions(host_security_integration_test PRIVATE
    CORVID1_TEST_SERVER="$<TARGET_FILE:corvid1-test-server>")
  add_dependencies(host_security_integration_test corvid1-test-server)
  gtest_discover_tests(host_security_integration_test PROPERTIES LABELS core TIMEOUT 120)

  add_executable(crc_attack_test ${CMAKE_CURRENT_LIST_DIR}/tests/crc_attack_test.cpp)
  target_link_libraries(crc_attack_test PRIVATE corvid1_session GTest::gtest_main)
  target_include_directories(crc_attack_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tests)
  target_compile_definitions(crc_attack_test PRIVATE
    CORVID1_TEST_SERVER="$<TARGET_FILE:corvid1-test-server>")
  add_dependencies(crc_attack_test corvid1-test-server)
  gtest_discover_tests(crc_attack_test PROPERTIES LABELS core TIMEOUT 120)
endif()
