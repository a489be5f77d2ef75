# The download benchmark (bench/run download builds and runs it): the
# library's download over loopback against curl and a minimal 1024-byte
# receive loop, and its MD5 against md5sum. Include from bench/CMakeLists.txt.
find_package(Threads REQUIRED)
add_executable(download_bench ${CMAKE_CURRENT_LIST_DIR}/download_bench.cpp)
target_link_libraries(download_bench PRIVATE vesk80_core Threads::Threads)
