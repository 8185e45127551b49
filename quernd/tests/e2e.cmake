# End-to-end tests of the daemon process with the real test shim. The daemon
# finds the shim beside its own executable.
#
# quern_e2e_support: a daemon started as a process of its own, for these tests
# and the kit's.
add_library(quern_e2e_support STATIC tests/e2e_support.cpp)
target_include_directories(quern_e2e_support PUBLIC tests)
target_link_libraries(quern_e2e_support PUBLIC quern_test_support quern_testkit quern_session quern_protocol GTest::gtest)
target_compile_definitions(quern_e2e_support PRIVATE QUERND_BIN="$<TARGET_FILE:quernd>")

if(TARGET quernd)
  add_executable(quernd_e2e_tests
    tests/e2e_test.cpp
    tests/data_plane_e2e_test.cpp
    tests/browser_e2e_test.cpp
    tests/devtools.cpp
  )
  target_link_libraries(quernd_e2e_tests PRIVATE quern_e2e_support quern_shim_manifest quern_test_support quern_testkit quern_session quern_protocol GTest::gtest_main)
  # The browser test drives a real Chromium; found here or on PATH when it runs.
  find_program(QUERN_CHROMIUM NAMES chromium chromium-browser google-chrome-stable google-chrome)
  set(chromium_at "")
  if(QUERN_CHROMIUM)
    set(chromium_at "${QUERN_CHROMIUM}")
  endif()
  target_compile_definitions(quernd_e2e_tests PRIVATE QUERND_BIN="$<TARGET_FILE:quernd>"
                                                     QUERN_BENCH_SHIM="$<TARGET_FILE:quern-bench-shim>"
                                                     QUERN_WEB_BIN="$<TARGET_FILE:quern-web>"
                                                     QUERN_WEB_ROOT="${PROJECT_SOURCE_DIR}/testkit/web"
                                                     QUERN_CHROMIUM="${chromium_at}"
                                                     QUERN_TEST_OUTPUT_DIR="${CMAKE_BINARY_DIR}/test-output")
  # The flood test runs its session behind the benchmark's shim.
  add_dependencies(quernd_e2e_tests quernd quern-session quern-bench-shim quern-web)
  quern_discover_tests(quernd_e2e_tests e2e SLOW "E2eTest.CloseOfAStaleManifestSparesTheTerminalOfAnotherProcess:\
E2eTest.CloseEndsTheSessionsWholeTreeButNotItsShim:E2eTest.StartUpSweepsStaleSessionFiles:\
DataPlaneTest.AClientThatAnswersPingsStaysConnected:DataPlaneTest.ASilentClientIsDroppedAfterTheIdleLimit:\
DataPlaneTest.SixtyFourUpgradesAtOnceAndEachWithinThreeSeconds:\
BrowserTest.PageInChromiumIsATerminalOnASessionStartedLocally:\
BrowserTest.PageSaysWhyItCannotConnectAndFindsARestartedDaemon")
endif()
