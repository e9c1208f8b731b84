# Warnings are errors for every target of the project. Third-party headers come
# in through imported targets, which CMake includes as system headers.
# GCC 12's -Wmaybe-uninitialized reports std::optional<QString> copies at -O2
# that are initialised (a known false positive), so it stays a warning only.
function(orv_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Werror
    $<$<CXX_COMPILER_ID:GNU>:-Wno-error=maybe-uninitialized>)
endfunction()
