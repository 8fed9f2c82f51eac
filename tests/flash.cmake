r47_test(flash_test flash ${CMAKE_CURRENT_LIST_DIR}/flash_test.cpp)
