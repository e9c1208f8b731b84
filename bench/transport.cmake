# A 100 KiB picture file downloaded from the simulated phone (no latency),
# against the floor that the protocol's own 1 ms sleeps set.
orv_add_bench(bench_transport SOURCES ${CMAKE_CURRENT_LIST_DIR}/transport_bench.cpp LIBS orv::phone orv::sim)
