find_package(GTest REQUIRED)
include(GoogleTest)

# Every test of a sanitizer build, and every program a test starts (they inherit the
# environment), reads its suppressions from tests/sanitizers: the one place where reports inside
# third-party libraries are exempted, each library named with the reason. BHV_TEST_PROPERTIES
# are the properties every test gets (a test may set a longer TIMEOUT after them).
set(BHV_SANITIZER_SUPPRESSIONS ${PROJECT_SOURCE_DIR}/tests/sanitizers)
set(BHV_TEST_PROPERTIES TIMEOUT 600)
if(BHV_SANITIZE MATCHES "thread")
  # Tests start bhv-sim, bhv-data-server, Xvfb and bhv as child processes from threaded
  # processes (each child execs at once).
  list(APPEND BHV_TEST_PROPERTIES ENVIRONMENT
       "TSAN_OPTIONS=suppressions=${BHV_SANITIZER_SUPPRESSIONS}/tsan.supp die_after_fork=0")
elseif(BHV_SANITIZE MATCHES "address")
  list(APPEND BHV_TEST_PROPERTIES ENVIRONMENT
       "LSAN_OPTIONS=suppressions=${BHV_SANITIZER_SUPPRESSIONS}/lsan.supp")
endif()

# bhv_add_gtest(<name> SOURCES <files...> LIBS <targets...>)
# Every test program uses tests/support/TestMain.cpp, which gives the process its own temporary
# HOME and BHV_ROOT before any test runs.
function(bhv_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} bhv_test_support)
  # Test names carry their program's name ("storage_tests.ProjectDbTest..."), so
  # `ctest -R storage_tests` selects one subsystem. LABELS sets a program's tests apart
  # (`ctest -L load`, `ctest -LE load`); they still run with all the others.
  set(_properties ${BHV_TEST_PROPERTIES})
  if(ARG_LABELS)
    list(APPEND _properties LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 120
                       PROPERTIES ${_properties})
endfunction()
