# The phone link's checks of what the phone sends: a fetched reply judged
# against its sequence number, and the device-name reply narrowed and matched.
# The checked sources are compiled into each fuzzer so that they are
# instrumented.
orv_add_fuzzer(fuzz_phone_reply
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/phone_reply_fuzzer.cpp ${CMAKE_SOURCE_DIR}/phone/Packets.cpp
  LIBS orv::phone)
orv_add_fuzzer(fuzz_phone_device_name
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/phone_device_name_fuzzer.cpp ${CMAKE_SOURCE_DIR}/phone/Discovery.cpp
  LIBS orv::phone)
