# Helpers shared by every module's CMakeLists.txt.

# Warnings for our own targets only; third-party headers come in as system includes.
set(VRL_WARNINGS -Wall -Wextra -Wno-unused-parameter)

# vrl_library(<name> SOURCES <files...> [DEPS <targets...>] [INCLUDE <dir>])
# A static library; INCLUDE (default: the repository root) is its public include root.
function(vrl_library name)
  cmake_parse_arguments(ARG "" "INCLUDE" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  if(NOT ARG_INCLUDE)
    set(ARG_INCLUDE ${PROJECT_SOURCE_DIR})
  endif()
  target_include_directories(${name} PUBLIC ${ARG_INCLUDE})
  target_compile_options(${name} PRIVATE ${VRL_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# The main of every test program sets VRL_SOURCE_DIR and VRL_BINARY_DIR and puts VRL_MAC_BIN_DIR
# first on PATH.
add_library(vrl_test_main STATIC ${CMAKE_CURRENT_LIST_DIR}/testmain/TestMain.cpp)
target_link_libraries(vrl_test_main PUBLIC GTest::gtest)
target_compile_definitions(vrl_test_main PRIVATE
  VRL_SOURCE_DIR="${PROJECT_SOURCE_DIR}" VRL_BINARY_DIR="${PROJECT_BINARY_DIR}" VRL_MAC_BIN_DIR="${VRL_MAC_BIN_DIR}")

# vrl_test(<name> SOURCES <files...> [DEPS <targets...>] [LABELS <labels...>]
#          [RESOURCE_LOCK <lock>] [TIMEOUT <seconds>])
# A GoogleTest program; each test case becomes one CTest test, listed when CTest runs. Cases that
# share a RESOURCE_LOCK never run at the same time.
function(vrl_test name)
  cmake_parse_arguments(ARG "" "RESOURCE_LOCK;TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${VRL_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} vrl_test_main GTest::gtest GTest::gmock Threads::Threads)
  # The fuzz build compiles only what its programs need: test programs stay unbuilt and unlisted.
  if(VORELLIN_FUZZ)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL ON)
    return()
  endif()
  set(properties "")
  if(ARG_LABELS)
    list(APPEND properties LABELS ${ARG_LABELS})
  endif()
  if(ARG_RESOURCE_LOCK)
    list(APPEND properties RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
  endif()
  if(ARG_TIMEOUT)
    list(APPEND properties TIMEOUT ${ARG_TIMEOUT})
  endif()
  if(properties)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${properties})
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST)
  endif()
endfunction()

# vrl_executable(<name> SOURCES <files...> [DEPS <targets...>])
function(vrl_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${VRL_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} Threads::Threads)
endfunction()

# vrl_mac_tool(<name> SOURCES <files...> [DEPS <targets...>])
# A stand-in for a macOS command-line tool, built into VRL_MAC_BIN_DIR under its own name.
function(vrl_mac_tool name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(mac-${name} ${ARG_SOURCES})
  set_target_properties(mac-${name} PROPERTIES OUTPUT_NAME ${name} RUNTIME_OUTPUT_DIRECTORY ${VRL_MAC_BIN_DIR})
  target_compile_options(mac-${name} PRIVATE ${VRL_WARNINGS})
  target_link_libraries(mac-${name} PRIVATE ${ARG_DEPS} Threads::Threads)
endfunction()
