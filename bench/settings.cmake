orv_add_bench(bench_settings SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_bench.cpp LIBS orv::platform)

# Start-up: the program against an empty Qt window, both to their first turn
# of the event loop.
add_executable(bench_empty_window ${CMAKE_CURRENT_LIST_DIR}/empty_window.cpp)
target_link_libraries(bench_empty_window PRIVATE Qt6::Widgets)
orv_set_warnings(bench_empty_window)
add_executable(bench_startup ${CMAKE_CURRENT_LIST_DIR}/startup_bench.cpp)
target_link_libraries(bench_startup PRIVATE Qt6::Core)
target_compile_definitions(bench_startup PRIVATE
  ORVELLO_EXE="$<TARGET_FILE:orvello>" EMPTY_WINDOW_EXE="$<TARGET_FILE:bench_empty_window>")
add_dependencies(bench_startup orvello bench_empty_window)
orv_set_warnings(bench_startup)
