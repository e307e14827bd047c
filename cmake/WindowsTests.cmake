# A Win32 host of veltonet.dll with an ordinary message loop and no call of the library's loop
# functions: the library's work must reach it through that loop alone.
add_executable(frame_message_loop_host
  ${CMAKE_SOURCE_DIR}/veltonet/frame/hosted/win32/MessageLoopHost_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/TestMain.cpp)
target_link_libraries(frame_message_loop_host PRIVATE veltonet GTest::gtest)
veltonet_register_test_program(frame_message_loop_host)

# The list of test programs that scripts/run-windows-tests.sh runs under Wine.
get_property(programs GLOBAL PROPERTY VELTONET_TEST_PROGRAMS)
list(JOIN programs "\n" text)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/test-programs.txt CONTENT "${text}\n")
