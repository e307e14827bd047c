# Tests of the frame that need more than the per-folder test program: the built plug-ins,
# the shared library as a host sees it, a host written in C, the exported symbols, and an
# installed copy. Included from the top-level CMakeLists.txt once every target exists.

set(FRAME_DIR ${CMAKE_SOURCE_DIR}/veltonet/frame)

# frame_tests (linked with the library's objects) loads Codec.so and the stand-ins.
add_dependencies(frame_tests veltonet_codec veltonet_test_plugins)
target_compile_definitions(frame_tests PRIVATE
  VELTONET_CODEC_DIR="$<TARGET_FILE_DIR:veltonet_codec>"
  VELTONET_TEST_PLUGIN_DIR="${CMAKE_BINARY_DIR}/test-plugins")

if(WIN32)
  add_dependencies(frame_tests veltonet)  # loaded from beside the program by its own test
  include(${CMAKE_SOURCE_DIR}/cmake/WindowsTests.cmake)
  return()
endif()

# A host of libveltonet.so itself: a plug-in that subclasses TCPReceiver must bind to the
# library's one copy of everything, which a program holding its own copy cannot offer.
file(GLOB FRAME_HOSTED_TESTS CONFIGURE_DEPENDS ${FRAME_DIR}/hosted/*_test.cpp)
add_executable(frame_hosted_tests ${FRAME_HOSTED_TESTS} ${CMAKE_SOURCE_DIR}/tests/support/TestMain.cpp)
target_link_libraries(frame_hosted_tests PRIVATE veltonet GTest::gtest)
add_dependencies(frame_hosted_tests veltonet_codec veltonet_receiver_plugin)
target_compile_definitions(frame_hosted_tests PRIVATE
  VELTONET_LIBRARY_DIR="$<TARGET_FILE_DIR:veltonet>"
  VELTONET_RECEIVER_PLUGIN_DIR="$<TARGET_FILE_DIR:veltonet_receiver_plugin>")
gtest_discover_tests(frame_hosted_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)

add_executable(frame_c_host ${FRAME_DIR}/hosted/CInterface_test.c)
target_link_libraries(frame_c_host PRIVATE veltonet)
add_test(NAME frame_c_host COMMAND frame_c_host)
set_tests_properties(frame_c_host PROPERTIES TIMEOUT 60)

add_test(NAME frame_exported_symbols
  COMMAND bash ${FRAME_DIR}/ExportedSymbols_test.sh $<TARGET_FILE:veltonet>
          ${FRAME_DIR}/ExportedFunctions_test.txt)

# Installs into a temporary prefix, builds tests/install-consumer against it and runs it.
add_test(NAME install_consumer
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/install-consumer/run.sh ${CMAKE_BINARY_DIR}
          ${CMAKE_COMMAND} ${CMAKE_CXX_COMPILER} ${CMAKE_C_COMPILER} "$<BOOL:${VELTONET_SANITIZE}>")
set_tests_properties(install_consumer PROPERTIES TIMEOUT 300)
