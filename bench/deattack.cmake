# CRC compensation attack detector: its cost per packet next to the decryption that every
# packet pays anyway (ours, and Nettle's as a measuring stick).
pkg_check_modules(CORVID1_BENCH_DEATTACK_NETTLE REQUIRED IMPORTED_TARGET nettle)
add_executable(deattack_bench ${CMAKE_CURRENT_LIST_DIR}/deattack_bench.cpp)
target_link_libraries(deattack_bench PRIVATE corvid1_session PkgConfig::CORVID1_BENCH_DEATTACK_NETTLE
                      benchmark::benchmark)
