find_package(GTest REQUIRED)
include(GoogleTest)

# bhv_add_gtest(<name> SOURCES <files...> LIBS <targets...>)
# Every test program uses tests/support/TestMain.cpp, which gives the process its own temporary
# HOME and BHV_ROOT before any test runs.
function(bhv_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} bhv_test_support)
  # Test names carry their program's name ("storage_tests.ProjectDbTest..."), so
  # `ctest -R storage_tests` selects one subsystem.
  gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 600)
endfunction()
