# One recorded frame (conversion, encoding, writing) for the catalogue's main
# encoders, against libjpeg-turbo encoding the same frame.
orv_add_bench(bench_codecs SOURCES ${CMAKE_CURRENT_LIST_DIR}/codecs_bench.cpp LIBS orv::video orv::capture Qt6::Gui)

# By hand only (it writes gigabytes, so bench/run.sh does not start it): a
# recording past 1 GiB, where the file goes on in OpenDML form.
add_executable(avi_soak ${CMAKE_CURRENT_LIST_DIR}/avi_soak.cpp)
target_link_libraries(avi_soak PRIVATE orv::video Qt6::Core PkgConfig::LIBAVFORMAT PkgConfig::LIBAVCODEC
  PkgConfig::LIBAVUTIL)
orv_set_warnings(avi_soak)
