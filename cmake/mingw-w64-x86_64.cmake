# 64-bit build of everything: program, tests, simulated handheld (posix thread model
# for std::thread).
set(R47_TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(R47_THREAD_MODEL posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
