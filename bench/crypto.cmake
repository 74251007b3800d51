# Cryptography benchmarks: ours against Nettle and OpenSSL's libcrypto, which serve only as
# measuring sticks here.
pkg_check_modules(CORVID1_BENCH_NETTLE REQUIRED IMPORTED_TARGET nettle)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
add_executable(crypto_bench ${CMAKE_CURRENT_LIST_DIR}/crypto_bench.cpp)
target_link_libraries(crypto_bench PRIVATE corvid1_crypto PkgConfig::CORVID1_BENCH_NETTLE
                      OpenSSL::Crypto benchmark::benchmark)
# The low-level DES, Blowfish and MD5 calls are the point of the comparison.
target_compile_definitions(crypto_bench PRIVATE OPENSSL_SUPPRESS_DEPRECATED)
