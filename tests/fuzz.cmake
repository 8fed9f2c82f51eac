# The pure decoders fuzzed natively (clang, libFuzzer) for a few seconds each from the
# committed corpus; scripts/fuzz builds them itself, outside the cross build.
# The decoders are the same code in every build tree: fuzzed once, in the 64-bit one.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_test(NAME Fuzz.Decoders COMMAND ${CMAKE_SOURCE_DIR}/scripts/fuzz 4)
  set_tests_properties(Fuzz.Decoders PROPERTIES LABELS unit TIMEOUT 240
    ENVIRONMENT "R47_FUZZ_BUILD=${CMAKE_BINARY_DIR}/fuzz")
endif()
