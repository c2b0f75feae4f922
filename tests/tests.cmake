# Test programs, cross-built and run under Wine through ctest.
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# What the Windows tests and benchmarks share: the real dialog on a UI
# thread, the scripted DNS server, the reply builder, the clocks and the
# text and file utilities.
add_library(wintest STATIC tests/ui_fixture.cpp tests/window_test.cpp tests/text_files.cpp
                           tests/list_maker.cpp
                           tests/measure.cpp tests/test_dns_server.cpp tests/reply_builder.cpp)
target_include_directories(wintest PUBLIC src res tests)
target_compile_options(wintest PRIVATE ${WARNINGS})
# The tests read winmm's clock themselves; the product looks it up.
target_link_libraries(wintest PUBLIC dnscheck_core GTest::gtest winmm)

# A Windows program of the tests or the benchmarks: the product code, the
# dialog resources and the shared test helpers.
function(dnscheck_windows_program name)
  add_executable(${name} ${ARGN} ${CMAKE_SOURCE_DIR}/res/dnscheck.rc)
  target_compile_options(${name} PRIVATE ${WARNINGS})
  target_link_options(${name} PRIVATE ${STATIC_LINK})
  target_link_libraries(${name} PRIVATE wintest)
endfunction()

function(dnscheck_test name)
  dnscheck_windows_program(${name} ${ARGN} tests/win_test_main.cpp)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
endfunction()

dnscheck_test(dns_message_test tests/dns_message_test.cpp)
dnscheck_test(query_id_start_test tests/query_id_start_test.cpp)
dnscheck_test(platform_test tests/platform_test.cpp)
dnscheck_test(probe_test tests/probe_test.cpp)
dnscheck_test(server_table_test tests/server_table_test.cpp)
dnscheck_test(pacer_test tests/pacer_test.cpp)
dnscheck_test(hostile_test tests/hostile_test.cpp)
dnscheck_test(scan_test tests/scan_test.cpp)
# Wine's server and services outlive the program that starts them and keep
# its output open, and ctest holds a test's slot until its output closes:
# the test that started them would hold one slot until the last test
# ended. They are started first, with their output going nowhere.
add_test(NAME wine_services
         COMMAND sh -c "\"$0\" \"$@\" >/dev/null 2>&1 </dev/null"
                 ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh ${CMAKE_BINARY_DIR}/wine
                 $<TARGET_FILE:platform_test> --gtest_list_tests)
set_tests_properties(wine_services PROPERTIES FIXTURES_SETUP wine)
# Test DNS servers share port 53 within a process (see test_dns_server.h),
# so the programs that start them take turns with it.
set_tests_properties(probe_test hostile_test scan_test PROPERTIES RESOURCE_LOCK port53)

# The list file; list_save_child is the program its test kills mid-save.
dnscheck_windows_program(list_save_child tests/list_save_child.cpp)
dnscheck_test(list_file_test tests/list_file_test.cpp)
add_dependencies(list_file_test list_save_child)

# The default list, read from the source tree as the tool reads dns.ini.
dnscheck_test(default_list_test tests/default_list_test.cpp)
target_compile_definitions(default_list_test PRIVATE DNSCHECK_DEFAULT_LIST="${CMAKE_SOURCE_DIR}/res/dns.ini")

# What a scan takes and gives back: its claim, the timer period, the buttons.
dnscheck_test(scan_claim_test tests/scan_claim_test.cpp)
set_tests_properties(scan_claim_test PROPERTIES RESOURCE_LOCK port53)

# A host that rejects queries: it must hold no test server, so its own program.
dnscheck_test(rejecting_host_test tests/rejecting_host_test.cpp)

include(bench/bench.cmake)
include(tests/e2e/e2e.cmake)

# The dialog at 96, 120 and 144 DPI, each in turn in one prefix of its
# own: a scale holds for a whole prefix. Its first run makes that prefix.
dnscheck_windows_program(display_scale_test tests/display_scale_test.cpp tests/win_test_main.cpp)
add_test(NAME display_scale_test
         COMMAND bash ${CMAKE_SOURCE_DIR}/tests/display_scale.sh ${CMAKE_BINARY_DIR}/wine-scale
                 $<TARGET_FILE:display_scale_test>)
set_tests_properties(display_scale_test PROPERTIES TIMEOUT 900)
