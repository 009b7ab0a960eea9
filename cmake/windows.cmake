# What the Windows build (MinGW-w64, see mingw-w64.cmake) takes in place of Debian's packages,
# and how its binaries meet the runtime.
#
# The DLL must run on a bare Windows: it links the C++ runtime, libgcc and winpthread in
# statically (KOJELLY_STATIC_RUNTIME, used by src/ and by the C hosts of the tests), so it
# imports only from Windows' own DLLs (KERNEL32 and the system C runtime, msvcrt.dll).
#
# The test programs load those runtimes as DLLs instead, as the Linux tests load the shared
# libstdc++ and libc: the countdown allocator wraps malloc only in what is linked into a program,
# so on both systems it counts the allocations of the code under test and not those of the
# runtime (operator new, emulated thread-locals, thread creation, lazily made locks).
set(KOJELLY_STATIC_RUNTIME -static)

# Programs and DLLs side by side, as Windows finds a program's DLLs in its own folder.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
if(KOJELLY_TESTS)
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "the MinGW runtime ${dll} was not found")
    endif()
    file(COPY ${path} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  endforeach()
endif()

# yyjson from its verified upstream source (scripts/install-deps.sh --windows fetches it).
set(KOJELLY_YYJSON_SOURCE "" CACHE PATH "Folder of the yyjson 0.10 source (holding src/yyjson.c)")
if(NOT EXISTS "${KOJELLY_YYJSON_SOURCE}/src/yyjson.c")
  message(FATAL_ERROR "KOJELLY_YYJSON_SOURCE must name a yyjson 0.10 source folder "
                      "(scripts/install-deps.sh --windows fetches one); got '${KOJELLY_YYJSON_SOURCE}'")
endif()
# The DLL links yyjson in statically. Programs (the tests) load it as yyjson.dll, as they load
# the shared libyyjson on Linux: their countdown allocator wraps malloc only in what is linked
# into them, so on both systems yyjson's own blocks stay outside the count.
add_library(kojelly_yyjson_static STATIC ${KOJELLY_YYJSON_SOURCE}/src/yyjson.c)
add_library(kojelly_yyjson_shared SHARED EXCLUDE_FROM_ALL ${KOJELLY_YYJSON_SOURCE}/src/yyjson.c)
set_target_properties(kojelly_yyjson_shared PROPERTIES OUTPUT_NAME yyjson PREFIX "")
foreach(lib kojelly_yyjson_static kojelly_yyjson_shared)
  target_include_directories(${lib} SYSTEM PUBLIC ${KOJELLY_YYJSON_SOURCE}/src)
endforeach()
add_library(kojelly_yyjson INTERFACE)
target_link_libraries(kojelly_yyjson INTERFACE
  "$<IF:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>,kojelly_yyjson_static,kojelly_yyjson_shared>")

# GoogleTest from the source that Debian's libgtest-dev ships, built with the cross compiler.
if(KOJELLY_TESTS)
  set(KOJELLY_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source folder")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  # It defines GTest::gtest and GTest::gtest_main, so the test folders find nothing to look up.
  add_subdirectory(${KOJELLY_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
