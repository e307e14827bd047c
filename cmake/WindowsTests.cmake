# The list of test programs that scripts/run-windows-tests.sh runs under Wine.
get_property(programs GLOBAL PROPERTY VELTONET_TEST_PROGRAMS)
list(JOIN programs "\n" text)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/test-programs.txt CONTENT "${text}\n")
