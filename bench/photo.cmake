# From the downloaded bytes to the picture handed to the window, against
# libjpeg-turbo decoding the same bytes alone.
orv_add_bench(bench_photo SOURCES ${CMAKE_CURRENT_LIST_DIR}/photo_bench.cpp LIBS orv::capture Qt6::Gui JPEG::JPEG)
