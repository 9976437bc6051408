# Unit tests: one GoogleTest executable per folder below tests/unit (unit_<folder>).
# Integration tests: one executable per .cpp in tests/integration (integration_<name>), which know
# the source folder as K482916_SOURCE_DIR.
# Both link the test toolkit in tests/support/ (k482916_test_support), built once; it is plain POSIX
# and builds for the target as well. Every test case is its own ctest entry so that `ctest -j2`
# spreads them over both cores.
if(CMAKE_CROSSCOMPILING)
  # No target build of GoogleTest is installed; build it from Debian's sources.
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(K482916_GTEST GTest::gtest_main)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
  set(K482916_GTEST GTest::gtest_main)
endif()
include(GoogleTest)

file(GLOB K482916_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_library(k482916_test_support STATIC ${K482916_TEST_SUPPORT})
target_include_directories(k482916_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(k482916_test_support PUBLIC k482916 ${K482916_GTEST})

file(GLOB K482916_UNIT_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/unit/*)
foreach(dir ${K482916_UNIT_DIRS})
  if(IS_DIRECTORY ${dir})
    get_filename_component(name ${dir} NAME)
    file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(srcs)
      add_executable(unit_${name} ${srcs})
      target_link_libraries(unit_${name} PRIVATE k482916_test_support)
      gtest_discover_tests(unit_${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                           PROPERTIES TIMEOUT 300 LABELS unit
                           ENVIRONMENT "K482916_BUILD_DIR=${CMAKE_BINARY_DIR}")
    endif()
  endif()
endforeach()

if(NOT CMAKE_CROSSCOMPILING)
  file(GLOB K482916_INTEGRATION CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/integration/*.cpp)
  foreach(src ${K482916_INTEGRATION})
    get_filename_component(name ${src} NAME_WE)
    add_executable(integration_${name} ${src})
    target_link_libraries(integration_${name} PRIVATE k482916_test_support)
    target_compile_definitions(integration_${name} PRIVATE K482916_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    add_dependencies(integration_${name} mqtt_k482916_demon k482916_ctl)
    gtest_discover_tests(integration_${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 600 LABELS integration
                         ENVIRONMENT "K482916_BUILD_DIR=${CMAKE_BINARY_DIR}")
  endforeach()

  # The manual page: with -z groff discards the formatted page, so anything it prints is a warning
  # or an error, and fails the test.
  add_test(NAME man_page COMMAND groff -man -Tutf8 -ww -z
                                 ${CMAKE_SOURCE_DIR}/dist/mqtt_k482916_demon.8)
  set_tests_properties(man_page PROPERTIES FAIL_REGULAR_EXPRESSION "." LABELS unit)
endif()
