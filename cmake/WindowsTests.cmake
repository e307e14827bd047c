# Windows tests beyond the per-folder programs, and the list of programs that
# scripts/run-windows-tests.sh runs under Wine.
add_executable(frame_c_host ${FRAME_DIR}/hosted/CInterface_test.c)
target_link_libraries(frame_c_host PRIVATE veltonet)
set_property(GLOBAL APPEND PROPERTY VELTONET_TEST_PROGRAMS "$<TARGET_FILE_NAME:frame_c_host>")

get_property(programs GLOBAL PROPERTY VELTONET_TEST_PROGRAMS)
list(JOIN programs "\n" text)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/test-programs.txt CONTENT "${text}\n")
