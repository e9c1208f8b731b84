# What a browser sends to the picture web server: the request's words and the
# answer they choose.
orv_add_fuzzer(fuzz_http_request
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/http_request_fuzzer.cpp ${CMAKE_SOURCE_DIR}/web/HttpRequest.cpp
  ${CMAKE_SOURCE_DIR}/web/Responses.cpp
  LIBS orv::web)
