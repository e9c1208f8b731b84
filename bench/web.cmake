# The picture web server under wrk's load, against nginx serving the same
# bytes; both tools come with `make bench` (packaging/install-deps.sh --bench).
add_executable(bench_web ${CMAKE_CURRENT_LIST_DIR}/web_bench.cpp)
target_link_libraries(bench_web PRIVATE orv::shell orv::sim)
orv_set_warnings(bench_web)
