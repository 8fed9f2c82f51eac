r47_test(images_test unit ${CMAKE_CURRENT_LIST_DIR}/images_test.cpp)
r47_test(window_test unit ${CMAKE_CURRENT_LIST_DIR}/window_test.cpp)
r47_test(logic_test unit ${CMAKE_CURRENT_LIST_DIR}/logic_test.cpp)
