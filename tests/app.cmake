r47_test(app_test unit ${CMAKE_CURRENT_LIST_DIR}/app_test.cpp)
