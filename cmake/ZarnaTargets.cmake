# zarna_library(name SOURCES ... [DEPS ...])
#   A static library of project code with the project's warnings.
function(zarna_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_link_libraries(${name} PUBLIC ${A_DEPS} PRIVATE zarna_warnings)
endfunction()

# zarna_test(name SOURCES ... [DEPS ...] [LABELS ...])
#   A GoogleTest executable registered with CTest, one CTest entry per test case.
function(zarna_test name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  if(ZARNA_FUZZ)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gtest GTest::gmock GTest::gtest_main zarna_warnings)
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${A_LABELS};unit"
               ENVIRONMENT "ZARNA_SOURCE_DIR=${PROJECT_SOURCE_DIR};ZARNA_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()

# zarna_fuzz(name SOURCE file.cpp CORPUS dir [DEPS ...])
#   With ZARNA_FUZZ a libFuzzer binary; otherwise the same entry point linked with a
#   driver that replays every file of the seed corpus, registered as a plain test.
function(zarna_fuzz name)
  cmake_parse_arguments(A "" "SOURCE;CORPUS" "DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCE})
  target_link_libraries(${name} PRIVATE ${A_DEPS} zarna_warnings)
  if(ZARNA_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_link_libraries(${name} PRIVATE zarna_fuzz_replay)
    add_test(NAME fuzz_corpus.${name} COMMAND ${name} ${A_CORPUS})
    set_tests_properties(fuzz_corpus.${name} PROPERTIES LABELS "fuzz")
  endif()
endfunction()
