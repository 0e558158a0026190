# Collections: filtered search beside an exact filtered scan, snapshots beside
# plain file I/O, rebuild beside the build, and the bare core insertion that
# bench/python_api_bench.py compares the Python API with.
add_executable(collection_bench ${CMAKE_CURRENT_LIST_DIR}/collection_bench.cc)
target_link_libraries(collection_bench PRIVATE tessarine_core ZLIB::ZLIB)
