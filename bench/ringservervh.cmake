# ringservervh in this process: records per second from the scan folder to
# 10 SeedLink clients, and the delay from scan file to client.
add_executable(ring_bench ${CMAKE_CURRENT_LIST_DIR}/ring_bench.cpp)
target_link_libraries(ring_bench PRIVATE vh_ringserver Threads::Threads)
target_compile_definitions(ring_bench PRIVATE VH_TESTDATA="${CMAKE_SOURCE_DIR}/tests/data")
