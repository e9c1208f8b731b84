# The live MJPEG stream with 50 viewers at the web camera's frame rate: the
# program's processor time per viewer and the window's longest stall.
add_executable(bench_stream ${CMAKE_CURRENT_LIST_DIR}/stream_bench.cpp)
target_link_libraries(bench_stream PRIVATE orv::shell orv::sim)
orv_set_warnings(bench_stream)
