# End-to-end scenarios: the real r47flash.exe in a process of its own, driven from
# outside like a user would, against the simulated handheld.
file(GLOB R47_E2E_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/e2e/*.cpp)
if(R47_E2E_SOURCES AND TARGET r47_test_support)
  r47_test(e2e_test e2e ${R47_E2E_SOURCES})
  target_include_directories(e2e_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/e2e)
  # The scenarios start the program from build/bin and read readme.txt beside it.
  add_dependencies(e2e_test r47flash)
  # Each run waits for the program's own pauses (10 s of version queries, 3 s per
  # start attempt): generous bounds that only catch a hang. Scenarios that run at
  # the same time never meet: scripts/wine-exec gives each test program a lane of
  # its own (a Wine session with its own registry, devices and display), and the
  # program's one-copy rule, the registry values the scenarios set and the window
  # in front are all per lane.
  set_tests_properties(${e2e_test_tests} PROPERTIES TIMEOUT 180)
  # A few whole runs each, one of them waiting out the flash monitor's thirty seconds.
  set_tests_properties(FaultMatrix.RepresentativeCells BadInputs.RepresentativeRows PROPERTIES TIMEOUT 400)
endif()

# The demo driver that scripts/run uses when nobody sits at the screen.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tools/r47demo.cpp AND TARGET r47_test_support)
  add_executable(r47demo ${CMAKE_CURRENT_LIST_DIR}/tools/r47demo.cpp)
  target_link_libraries(r47demo PRIVATE r47_test_support)
  if(TARGET sim_harness)
    target_link_libraries(r47demo PRIVATE sim_harness)
  endif()
  add_dependencies(r47demo r47flash)
endif()

