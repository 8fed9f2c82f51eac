r47_test(app_test unit ${CMAKE_CURRENT_LIST_DIR}/app_test.cpp)
# The shipped 32-bit program against what Windows XP SP3 exports, and the fallbacks
# for newer kernel functions.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  r47_test(platform_test unit ${CMAKE_CURRENT_LIST_DIR}/imports_test.cpp ${CMAKE_CURRENT_LIST_DIR}/windows_compat_test.cpp)
  add_dependencies(platform_test r47flash)
else()
  r47_test(platform_test unit ${CMAKE_CURRENT_LIST_DIR}/windows_compat_test.cpp)
endif()
