r47_test(app_test unit ${CMAKE_CURRENT_LIST_DIR}/app_test.cpp)
# It changes the registry of the shared Wine prefix, which the end-to-end tests read.
set_tests_properties(SyncConnection.ClaimsUsbOnlyForItsFourValues SyncConnection.ValueOfAnotherType
  PROPERTIES RUN_SERIAL TRUE)
