# The read-me and the example version file lie next to the program in build/bin (the
# Readme button opens the one beside the exe). The release's ZIP holds exactly the
# program and these two files; scripts/release makes it, with the commit's times, so
# that a rebuild gives the same bytes. The example is named version.ver.beispiel: under
# its real name, the program would read it, and flash by the example's numbers.
foreach(f readme.txt version.ver.beispiel)
  configure_file(${CMAKE_SOURCE_DIR}/dist/${f} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${f} COPYONLY)
endforeach()

# A tree that only borrows the program (R47_PROGRAM) installs nothing.
if(R47_PROGRAM)
  return()
endif()

install(TARGETS r47flash RUNTIME DESTINATION . COMPONENT app)
install(FILES ${CMAKE_SOURCE_DIR}/dist/readme.txt ${CMAKE_SOURCE_DIR}/dist/version.ver.beispiel
        DESTINATION . COMPONENT app)
