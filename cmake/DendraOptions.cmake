# Compiler settings shared by every target of the project.
find_package(Threads REQUIRED)

add_library(dendra_warnings INTERFACE)
target_compile_options(dendra_warnings INTERFACE -Wall -Wextra)
if(DENDRA_WERROR)
  target_compile_options(dendra_warnings INTERFACE -Werror)
endif()

if(DENDRA_SANITIZE)
  add_compile_options(-fsanitize=${DENDRA_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${DENDRA_SANITIZE})
  if(DENDRA_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

if(DENDRA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "DENDRA_FUZZ needs clang")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# dendra_add_test(NAME SOURCES... [LIBS ...] [PROPERTIES ...]): one GoogleTest program registered
# with CTest; PROPERTIES are extra test properties (RUN_SERIAL TRUE for timing-sensitive tests).
function(dendra_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main dendra_warnings)
  target_compile_definitions(${name} PRIVATE DENDRA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                             DENDRA_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 600 ${T_PROPERTIES})
endfunction()

# dendra_add_fuzzer(NAME SOURCE LIBS...): a libFuzzer target; its seeds live in fuzz/corpus/NAME.
function(dendra_add_fuzzer name source)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${ARGN} dendra_warnings)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# Tests that must run clean under ThreadSanitizer carry the CTest label `tsan` and are built by
# the `tsan_tests` target, so the sanitizer build compiles only them.
add_custom_target(tsan_tests)
