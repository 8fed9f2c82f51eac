r47_test(app_test unit ${CMAKE_CURRENT_LIST_DIR}/app_test.cpp)
# The shipped 32-bit program against what Windows XP SP3 exports, and the fallbacks
# for newer kernel functions.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  r47_test(platform_test unit ${CMAKE_CURRENT_LIST_DIR}/imports_test.cpp ${CMAKE_CURRENT_LIST_DIR}/windows_compat_test.cpp)
  add_dependencies(platform_test r47flash)
else()
  r47_test(platform_test unit ${CMAKE_CURRENT_LIST_DIR}/windows_compat_test.cpp)
  # The 32-bit program users get, built in a tree of its own, is checked from here
  # too: on a machine that runs 64-bit code only, this is where its file is read.
  set(R47_SHIPPED_PROGRAM "" CACHE FILEPATH "The 32-bit r47flash.exe users get, whose file the 64-bit tests check")
  if(R47_SHIPPED_PROGRAM)
    set(shipped ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/shipped/r47flash.exe)
    add_custom_command(OUTPUT ${shipped}
      COMMAND ${CMAKE_COMMAND} -E copy ${R47_SHIPPED_PROGRAM} ${shipped}
      DEPENDS ${R47_SHIPPED_PROGRAM}
      COMMENT "Checking the shipped program ${R47_SHIPPED_PROGRAM}")
    add_custom_target(r47flash_shipped ALL DEPENDS ${shipped})
    r47_test(shipped_test unit ${CMAKE_CURRENT_LIST_DIR}/imports_test.cpp)
    target_compile_definitions(shipped_test PRIVATE R47_SHIPPED_IN_SUBFOLDER)
    add_dependencies(shipped_test r47flash_shipped)
  endif()
endif()
# The flash log, the guard against sleep and shutdown, the system menu's items.
r47_test(log_test unit ${CMAKE_CURRENT_LIST_DIR}/log_test.cpp)
target_compile_definitions(log_test PRIVATE R47_PROJECT_VERSION="${PROJECT_VERSION}")
# What an earlier run did to the handheld, read back from its log.
r47_test(last_run_test unit ${CMAKE_CURRENT_LIST_DIR}/last_run_test.cpp)
