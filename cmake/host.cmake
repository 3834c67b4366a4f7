# The library compiled natively against the scripted Win32 layer, with the
# GoogleTest unit tests on top.
find_package(GTest REQUIRED)
include(GoogleTest)

# The diagnostic hook does nothing in the DLL; here it records what it is given.
set(QUILLPORT_HOST_SOURCES ${QUILLPORT_SOURCES})
list(FILTER QUILLPORT_HOST_SOURCES EXCLUDE REGEX "/trace_enumeration\\.cpp$")

add_library(quillport_host OBJECT
  ${QUILLPORT_HOST_SOURCES}
  ${PROJECT_SOURCE_DIR}/src/platform/simulated_win32.cpp
  ${PROJECT_SOURCE_DIR}/src/platform/simulated_trace.cpp)
target_include_directories(quillport_host PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(quillport_host PUBLIC QUILLPORT_BUILDING)
target_compile_options(quillport_host PUBLIC -Wall -Wextra -Werror)

file(GLOB QUILLPORT_HOST_TESTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/host/*.cpp)
add_executable(quillport_tests ${QUILLPORT_HOST_TESTS})
target_link_libraries(quillport_tests PRIVATE quillport_host GTest::gtest_main)
gtest_discover_tests(quillport_tests DISCOVERY_TIMEOUT 30)

if(EXISTS ${PROJECT_SOURCE_DIR}/tests/fuzz/CMakeLists.txt)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/fuzz ${CMAKE_BINARY_DIR}/fuzz)
endif()
