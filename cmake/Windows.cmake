# What the Windows build needs besides the compiler. spdlog, fmt and CLI11 are header-only
# from the system's headers, reached through a folder that links to them alone (/usr/include
# itself would bring glibc's headers in); GoogleTest builds from its sources; LZ4 for Codec.dll
# comes from Debian's source package (plugins/codec).
set(VELTONET_LINKED_HEADERS ${CMAKE_BINARY_DIR}/third-party/include)
file(MAKE_DIRECTORY ${VELTONET_LINKED_HEADERS})
foreach(name spdlog fmt CLI)
  if(NOT EXISTS ${VELTONET_LINKED_HEADERS}/${name})
    file(CREATE_LINK /usr/include/${name} ${VELTONET_LINKED_HEADERS}/${name} SYMBOLIC)
  endif()
endforeach()
add_library(veltonet_header_only INTERFACE)
target_include_directories(veltonet_header_only SYSTEM INTERFACE ${VELTONET_LINKED_HEADERS})
target_compile_definitions(veltonet_header_only INTERFACE FMT_HEADER_ONLY)
add_library(spdlog::spdlog ALIAS veltonet_header_only)
add_library(CLI11::CLI11 ALIAS veltonet_header_only)

# libgcc, libstdc++ and winpthread go inside each binary, which then imports system DLLs only.
add_link_options(-static)
set(VELTONET_SYSTEM_LIBS ws2_32 user32 version)

# Everything lands in one folder: the library looks for its plug-ins beside its own file, and
# the test programs, linked with the library's objects, are that file.
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

if(VELTONET_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# Test programs are run under Wine by scripts/run-windows-tests.sh from this list.
function(veltonet_register_test_program target)
  set_property(GLOBAL APPEND PROPERTY VELTONET_TEST_PROGRAMS "$<TARGET_FILE_NAME:${target}>")
endfunction()

# <windows.h> without the old Winsock header (which clashes with <winsock2.h>) or min/max macros.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# Every test program's main starts Winsock for its raw peers; the linker keeps an import only
# where a call needs it.
link_libraries(ws2_32)
# GCC 12 warns of overlapping copies inside std::string that cannot happen (a false positive
# of its -Wrestrict on this target's inlining).
add_compile_options(-Wno-restrict)

# x86: the R_ and RX_ functions are __stdcall, which decorates their names (R_GetPlatform@0);
# every DLL exports them under their plain names, as GetProcAddress and hosts look them up.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_link_options(-Wl,--kill-at)
endif()
