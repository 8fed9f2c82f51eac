r47_test(app_test unit ${CMAKE_CURRENT_LIST_DIR}/app_test.cpp)
# It changes the registry of the shared Wine prefix, which the end-to-end tests read.
set_tests_properties(SyncConnection.ClaimsUsbOnlyForItsFourValues PROPERTIES RUN_SERIAL TRUE)
# The flash log, the guard against sleep and shutdown, the system menu's items.
r47_test(log_test unit ${CMAKE_CURRENT_LIST_DIR}/log_test.cpp)
target_compile_definitions(log_test PRIVATE R47_PROJECT_VERSION="${PROJECT_VERSION}")
