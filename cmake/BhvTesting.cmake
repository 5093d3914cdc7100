find_package(GTest REQUIRED)
include(GoogleTest)

# Every test process gets a home and a workspace root inside the build tree, so no test can
# write into the real home folder even when it forgets to make its own temporary folder.
set(BHV_TEST_HOME ${CMAKE_BINARY_DIR}/test-home)
file(MAKE_DIRECTORY ${BHV_TEST_HOME}/workspace)

# bhv_add_gtest(<name> SOURCES <files...> LIBS <targets...>)
function(bhv_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} bhv_test_support GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 120
    PROPERTIES
      ENVIRONMENT "HOME=${BHV_TEST_HOME};BHV_ROOT=${BHV_TEST_HOME}/workspace/;QT_QPA_PLATFORM=offscreen"
      TIMEOUT 600)
endfunction()
