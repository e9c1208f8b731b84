# The motion detector's comparison at VGA and UXGA against its targets and
# the floor of one read of the frame; resident memory over a long run.
orv_add_bench(bench_motion SOURCES ${CMAKE_CURRENT_LIST_DIR}/motion_bench.cpp LIBS orv::video orv::sim orv::capture
  orv::phone orv::config)
