# The download benchmark (bench/run download builds and runs it): the
# library's download over loopback, from the reference service and from a
# plain peer, against the slower of a minimal 1024-byte receive loop and
# md5sum (each alone and curl reported beside it); its MD5 against md5sum;
# the peak memory of a download. Include from
# bench/CMakeLists.txt. The service binary is found beside it in the build
# tree (or through VESK_SERVICE), so it is built when the tools are.
find_package(Threads REQUIRED)
add_executable(download_bench ${CMAKE_CURRENT_LIST_DIR}/download_bench.cpp)
target_link_libraries(download_bench PRIVATE vesk80_core vesk_bench_report
                      Threads::Threads)
if(TARGET vesk-service)
  add_dependencies(download_bench vesk-service)
endif()
