# The read-me and the example version file lie next to the program in build/bin (the
# Readme button opens the one beside the exe), and the ZIP package holds exactly the
# program and these two files. The example is named version.ver.beispiel: under its
# real name, the program would read it, and flash by the example's numbers.
foreach(f readme.txt version.ver.beispiel)
  configure_file(${CMAKE_SOURCE_DIR}/dist/${f} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${f} COPYONLY)
endforeach()

# A tree that only borrows the program (R47_PROGRAM) packages nothing.
if(R47_PROGRAM)
  return()
endif()

install(TARGETS r47flash RUNTIME DESTINATION . COMPONENT app)
install(FILES ${CMAKE_SOURCE_DIR}/dist/readme.txt ${CMAKE_SOURCE_DIR}/dist/version.ver.beispiel
        DESTINATION . COMPONENT app)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME r47flash)
set(CPACK_PACKAGE_VENDOR "Quon")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_SYSTEM_NAME win32)
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Only the program's own component: tests, simulator and GoogleTest stay out.
set(CPACK_COMPONENTS_ALL app)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
