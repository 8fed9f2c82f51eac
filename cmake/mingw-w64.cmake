# Shared part of the MinGW-w64 cross toolchains (Linux host). The including file sets
# R47_TOOLCHAIN_PREFIX (the target triple) and R47_THREAD_MODEL (win32 or posix).
set(CMAKE_SYSTEM_NAME Windows)
if(R47_TOOLCHAIN_PREFIX MATCHES "^i686")
  set(CMAKE_SYSTEM_PROCESSOR x86)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()
set(CMAKE_C_COMPILER   ${R47_TOOLCHAIN_PREFIX}-gcc-${R47_THREAD_MODEL})
set(CMAKE_CXX_COMPILER ${R47_TOOLCHAIN_PREFIX}-g++-${R47_THREAD_MODEL})
set(CMAKE_RC_COMPILER  ${R47_TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${R47_TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs run under Wine through our wrapper, which selects the private prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-exec)
