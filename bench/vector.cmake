# Vector engine: HNSW build, recall and queries/s beside brute force; kernels.
add_executable(vector_bench ${CMAKE_CURRENT_LIST_DIR}/vector_bench.cc)
target_link_libraries(vector_bench PRIVATE tessarine_core)
