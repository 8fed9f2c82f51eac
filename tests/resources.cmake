# The shipped program's own resources, read from build/bin/r47flash.exe.
r47_test(resources_test unit ${CMAKE_CURRENT_LIST_DIR}/resources_test.cpp)
target_link_libraries(resources_test PRIVATE version)
target_compile_definitions(resources_test PRIVATE R47_PROJECT_VERSION="${PROJECT_VERSION}")
add_dependencies(resources_test r47flash)
