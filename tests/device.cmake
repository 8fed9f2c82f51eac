r47_test(device_test device ${CMAKE_CURRENT_LIST_DIR}/device_test.cpp)
# The few SetupAPI failures that only the substitute bus can make; loaded into the
# test process itself, nothing is installed in the Wine prefix.
r47_test(device_bus_test bus ${CMAKE_CURRENT_LIST_DIR}/device_bus_test.cpp)
# Wine takes a DLL named setupapi.dll from a file of ours only when told to prefer
# native DLLs of that name; the setting is given to these test processes alone.
set_tests_properties(${device_bus_test_tests} PROPERTIES ENVIRONMENT "WINEDLLOVERRIDES=setupapi=n,b")
