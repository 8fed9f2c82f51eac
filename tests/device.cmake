r47_test(device_test device ${CMAKE_CURRENT_LIST_DIR}/device_test.cpp)
