# Files and pictures that come from outside: the settings file, language
# files and the phone's JPEG bytes.
orv_add_fuzzer(fuzz_settings_file
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_file_fuzzer.cpp ${CMAKE_SOURCE_DIR}/platform/RegFile.cpp
  LIBS orv::platform)
orv_add_fuzzer(fuzz_language_file
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/language_file_fuzzer.cpp ${CMAKE_SOURCE_DIR}/texts/LangFile.cpp
  LIBS orv::config orv::texts)
orv_add_fuzzer(fuzz_jpeg_decode
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_decode_fuzzer.cpp ${CMAKE_SOURCE_DIR}/capture/Jpeg.cpp
  LIBS orv::capture)
