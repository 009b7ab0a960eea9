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
# The DLL links yyjson in statically. The tests load it as yyjson.dll, as they load the shared
# libyyjson on Linux: their countdown allocator wraps malloc only in what is linked into them,
# so on both systems yyjson's own blocks stay outside the count.
add_library(kojelly_yyjson_static STATIC ${KOJELLY_YYJSON_SOURCE}/src/yyjson.c)
target_include_directories(kojelly_yyjson_static SYSTEM PUBLIC ${KOJELLY_YYJSON_SOURCE}/src)
add_library(kojelly_yyjson INTERFACE)
if(KOJELLY_TESTS)
  add_library(kojelly_yyjson_shared SHARED EXCLUDE_FROM_ALL ${KOJELLY_YYJSON_SOURCE}/src/yyjson.c)
  set_target_properties(kojelly_yyjson_shared PROPERTIES OUTPUT_NAME yyjson PREFIX "")
  target_include_directories(kojelly_yyjson_shared SYSTEM PUBLIC ${KOJELLY_YYJSON_SOURCE}/src)
  target_link_libraries(kojelly_yyjson INTERFACE
    "$<IF:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>,kojelly_yyjson_static,kojelly_yyjson_shared>")
else()
  target_link_libraries(kojelly_yyjson INTERFACE kojelly_yyjson_static)
endif()

# GoogleTest from the source that Debian's libgtest-dev ships, built with the cross compiler.
if(KOJELLY_TESTS)
  set(KOJELLY_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source folder")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  # It defines GTest::gtest and GTest::gtest_main, so the test folders find nothing to look up.
  add_subdirectory(${KOJELLY_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# ---- Benchmarks (KOJELLY_BENCH) ---------------------------------------------------------------
# Google Benchmark from the source of Debian's benchmark 1.7.1, the version the Linux benchmarks
# link (scripts/install-deps.sh --windows fetches it), built static with the cross compiler. It
# defines benchmark::benchmark, so bench/ links it as on Linux. The bench programs link the
# runtime in statically (bench/CMakeLists.txt), so the runtime DLLs copied above for the tests
# are not needed by them.
if(KOJELLY_BENCH)
  set(KOJELLY_BENCHMARK_SOURCE ${PROJECT_SOURCE_DIR}/.deps/benchmark-1.7.1
      CACHE PATH "Folder of the Google Benchmark 1.7.1 source")
  if(NOT EXISTS "${KOJELLY_BENCHMARK_SOURCE}/include/benchmark/benchmark.h")
    message(FATAL_ERROR "KOJELLY_BENCHMARK_SOURCE must name a Google Benchmark 1.7.1 source "
                        "folder (scripts/install-deps.sh --windows fetches one); "
                        "got '${KOJELLY_BENCHMARK_SOURCE}'")
  endif()
  # Its version would come from git tags: in .deps/ that would run git in this checkout (and
  # refresh its index). Given no tag it takes the tarball's own version, as Debian's build does.
  # (Its GetGitVersion module defines nothing when it finds itself already included.)
  function(get_git_version var)
    set(${var} 0.0.0 PARENT_SCOPE)
  endfunction()
  block()
    set(__get_git_version INCLUDED)
    # Its options honour plain variables, so none of these lands in the cache.
    set(BENCHMARK_ENABLE_TESTING OFF)
    set(BENCHMARK_ENABLE_GTEST_TESTS OFF)
    set(BENCHMARK_ENABLE_WERROR OFF)
    set(BENCHMARK_ENABLE_INSTALL OFF)
    set(BENCHMARK_INSTALL_DOCS OFF)
    set(BUILD_SHARED_LIBS OFF)
    add_subdirectory(${KOJELLY_BENCHMARK_SOURCE} ${PROJECT_BINARY_DIR}/benchmark
                     EXCLUDE_FROM_ALL SYSTEM)
  endblock()
endif()
