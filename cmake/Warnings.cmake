# Common warning set for every target of the project.
add_library(zarna_warnings INTERFACE)
target_compile_options(zarna_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wformat=2
  -Wimplicit-fallthrough)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(zarna_warnings INTERFACE -Wthread-safety)
endif()
if(ZARNA_WERROR)
  target_compile_options(zarna_warnings INTERFACE -Werror)
endif()
