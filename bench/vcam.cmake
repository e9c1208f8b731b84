# The PipeWire camera's cost: CPU a second and the event loop's longest stall
# with the camera and one consumer, against the same run without the camera.
# Needs a PipeWire daemon; bench/vcam.sh starts a private one with a
# GStreamer consumer (make bench runs it through run.sh without them, and it
# then says it was skipped).
add_executable(bench_vcam ${CMAKE_CURRENT_LIST_DIR}/vcam_bench.cpp)
target_link_libraries(bench_vcam PRIVATE orv::vcam Qt6::Gui)
orv_set_warnings(bench_vcam)
