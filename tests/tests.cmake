# Test programs, cross-built and run under Wine through ctest.
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Every Windows test links the product code and its own helpers.
function(dnscheck_test name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE src res tests)
  target_link_options(${name} PRIVATE ${STATIC_LINK})
  target_link_libraries(${name} PRIVATE dnscheck_core GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
endfunction()

dnscheck_test(dns_message_test tests/dns_message_test.cpp tests/reply_builder.cpp)
dnscheck_test(query_id_start_test tests/query_id_start_test.cpp)
dnscheck_test(platform_test tests/platform_test.cpp)
