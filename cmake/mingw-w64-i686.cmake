# The program users get: 32-bit Windows, XP SP3 and later. The win32 thread model's
# runtime imports nothing newer than Windows 2000 (the posix one needs Vista), and
# the program uses no std::thread or std::mutex.
set(R47_TOOLCHAIN_PREFIX i686-w64-mingw32)
set(R47_THREAD_MODEL win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
