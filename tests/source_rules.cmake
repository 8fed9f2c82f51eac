# The layer rules that every build checks (cmake/source_rules.cmake), run on small
# planted trees: plain CMake, no Wine. The same script in every tree: run once, in the
# 64-bit one.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_test(NAME SourceRules.PlantedTrees
    COMMAND ${CMAKE_COMMAND} -DRULES=${PROJECT_SOURCE_DIR}/cmake/source_rules.cmake
            -DWORK=${CMAKE_CURRENT_BINARY_DIR}/source_rules
            -P ${CMAKE_CURRENT_LIST_DIR}/source_rules/planted_trees.cmake)
  set_tests_properties(SourceRules.PlantedTrees PROPERTIES LABELS unit TIMEOUT 120)
endif()
