# 32-bit tests, simulated handheld and benchmarks: they use std::thread, which the
# posix thread model provides. The program they drive comes from the win32 build.
set(R47_TOOLCHAIN_PREFIX i686-w64-mingw32)
set(R47_THREAD_MODEL posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
