# Terminal benchmarks: bytes per second through feedBytes for plain text, rendition-heavy text
# and cursor-addressed redraws, at two screen sizes with and without a full scrollback.
add_executable(terminal_bench ${CMAKE_CURRENT_LIST_DIR}/terminal_bench.cpp)
target_link_libraries(terminal_bench PRIVATE corvid1_terminal benchmark::benchmark)
