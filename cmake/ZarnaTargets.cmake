# zarna_library(name SOURCES ... [DEPS ...])
#   A static library of project code with the project's warnings.
function(zarna_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_link_libraries(${name} PUBLIC ${A_DEPS} PRIVATE zarna_warnings)
endfunction()

# zarna_test(name SOURCES ... [DEPS ...] [LABELS ...] [SERIAL])
#   A GoogleTest executable registered with CTest, one CTest entry per test case.
#   SERIAL: its cases run with nothing beside them (they use up machine-wide
#   resources such as ephemeral ports, which would starve other tests).
function(zarna_test name)
  cmake_parse_arguments(A "SERIAL" "" "SOURCES;DEPS;LABELS" ${ARGN})
  if(ZARNA_FUZZ)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gtest GTest::gmock GTest::gtest_main zarna_warnings)
  include(GoogleTest)
  # One label: the discovered tests' properties are a flat list, so a second
  # label would be read as a property name and the environment after it lost.
  set(label unit)
  if(A_LABELS)
    list(GET A_LABELS 0 label)
  endif()
  set(serial FALSE)
  if(A_SERIAL)
    set(serial TRUE)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${label}"
               ENVIRONMENT "ZARNA_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
               RUN_SERIAL ${serial})
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

# zarna_component(name [DEPS ...] [TEST_DEPS ...] [EXCLUDE regex])
#   The usual shape of a folder: every *.cpp except *_test.cpp forms the static
#   library <name>; every *_test.cpp forms the test executable <name>_test.
#   Files are globbed so that adding one needs no edit here.
function(zarna_component name)
  cmake_parse_arguments(A "" "EXCLUDE" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB all_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(lib_sources)
  set(test_sources)
  foreach(src ${all_sources})
    get_filename_component(base ${src} NAME)
    if(A_EXCLUDE AND base MATCHES "${A_EXCLUDE}")
      continue()
    endif()
    if(base MATCHES "_test\\.cpp$")
      list(APPEND test_sources ${src})
    else()
      list(APPEND lib_sources ${src})
    endif()
  endforeach()
  if(lib_sources)
    zarna_library(${name} SOURCES ${lib_sources} DEPS ${A_DEPS})
  else()
    # Header-only (or not yet written): still a target others can link.
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${A_DEPS})
  endif()
  if(test_sources)
    zarna_test(${name}_test SOURCES ${test_sources} DEPS ${name} ${A_TEST_DEPS})
  endif()
endfunction()
