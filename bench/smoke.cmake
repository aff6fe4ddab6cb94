# The benchmark's smoke run as a test: the load client built with the program,
# then bench.py --smoke against this build's VelmoraService and lighttpd. It
# checks that the benchmark starts, serves every workload and prints its
# table; no figure is judged.
find_package(Threads REQUIRED)
file(GLOB bench_tools CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/tools/*.cpp)
add_executable(bench_loadclient ${bench_tools})
target_link_libraries(bench_loadclient PRIVATE Threads::Threads)
add_test(NAME bench_smoke COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/bench/bench.py --smoke
  --binary $<TARGET_FILE:VelmoraService> --loadclient $<TARGET_FILE:bench_loadclient>
  --data ${CMAKE_BINARY_DIR}/bench-smoke/www --work ${CMAKE_BINARY_DIR}/bench-smoke/work)
set_tests_properties(bench_smoke PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
