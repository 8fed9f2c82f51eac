# The release's signing with a throwaway certificate, on the program users get: in the
# tree that checks that program's file (the 64-bit one), where it runs on every machine.
if(TARGET shipped_test)
  add_test(NAME Release.SignedProgram
    COMMAND ${CMAKE_SOURCE_DIR}/tests/release/signed_program_test ${R47_SHIPPED_PROGRAM} $<TARGET_FILE:shipped_test>)
  set_tests_properties(Release.SignedProgram PROPERTIES LABELS release TIMEOUT 180)
endif()
