# The web-camera recorder's loop against the floor of its phone commands,
# decoding and encoding; resident memory over a long recording.
orv_add_bench(bench_recorder SOURCES ${CMAKE_CURRENT_LIST_DIR}/recorder_bench.cpp LIBS orv::video orv::sim Qt6::Widgets)
# Resident memory over sixty one-minute files of one recording.
orv_add_bench(bench_recorder_files SOURCES ${CMAKE_CURRENT_LIST_DIR}/recorder_files_bench.cpp LIBS orv::video orv::sim Qt6::Widgets)
