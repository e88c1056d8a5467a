# Build rules shared by every target of the project.

# Filter arithmetic must stay plain IEEE double, one rounding per operation in
# source order: no contraction into fused multiply-add, no fast-math, SSE2
# arithmetic rather than x87 extended precision, and the baseline x86-64 target so
# the program runs on any x86-64 processor. Faster paths are picked at run time.
set(QUENDA_FP_FLAGS -ffp-contract=off -fno-fast-math)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  list(APPEND QUENDA_FP_FLAGS -march=x86-64 -mtune=generic -msse2 -mfpmath=sse)
endif()
add_compile_options(${QUENDA_FP_FLAGS})
string(REPLACE "-O3" "-O2" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
string(REPLACE "-O3" "-O2" CMAKE_C_FLAGS_RELEASE "${CMAKE_C_FLAGS_RELEASE}")

set(QUENDA_SANITIZE "" CACHE STRING "Sanitizer build: empty, 'address' (with undefined) or 'thread'")
if(QUENDA_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(QUENDA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT QUENDA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QUENDA_SANITIZE must be empty, 'address' or 'thread'")
endif()

# Warnings on and fatal for the project's own code.
function(quenda_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()

# A GoogleTest program in <build>/tests, registered with CTest test by test.
function(quenda_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  quenda_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${T_PROPERTIES})
endfunction()

# A Google Benchmark program in <build>/bench; built with the project, run by hand.
function(quenda_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  quenda_warnings(${name})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()
