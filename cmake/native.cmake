# Native build: the network-facing code under AddressSanitizer and
# UndefinedBehaviorSanitizer, and its fuzzer when clang is the compiler.
set(SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
target_compile_options(dnsmessage PRIVATE ${SANITIZE})
target_compile_options(listtext PRIVATE ${SANITIZE})

find_package(Threads REQUIRED)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_executable(dns_message_test tests/dns_message_test.cpp
                                tests/reply_builder.cpp)
add_executable(query_id_start_test tests/query_id_start_test.cpp)
foreach(t dns_message_test query_id_start_test)
  target_include_directories(${t} PRIVATE src tests)
  target_compile_options(${t} PRIVATE ${WARNINGS} ${SANITIZE})
  target_link_options(${t} PRIVATE ${SANITIZE})
  target_link_libraries(${t} PRIVATE dnsmessage GTest::gtest_main Threads::Threads)
endforeach()
add_test(NAME native_dns_message COMMAND dns_message_test)
add_test(NAME native_query_id_start COMMAND query_id_start_test)

if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(FUZZ -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  # NAME_fuzzer drives SOURCE and replays its seeds, fuzz/NAME_corpus, on
  # every test run, without fuzzing.
  function(dnscheck_fuzzer name source)
    add_executable(${name}_fuzzer fuzz/${name}_fuzzer.cpp ${source})
    target_include_directories(${name}_fuzzer PRIVATE src)
    target_compile_options(${name}_fuzzer PRIVATE ${WARNINGS} ${FUZZ} -g)
    target_link_options(${name}_fuzzer PRIVATE ${FUZZ})
    add_test(NAME ${name}_fuzzer_corpus_replay
             COMMAND ${name}_fuzzer -runs=0 ${CMAKE_SOURCE_DIR}/fuzz/${name}_corpus)
  endfunction()
  dnscheck_fuzzer(reply src/probe/dns_message.cpp)
  dnscheck_fuzzer(list src/serverlist/list_text.cpp)
endif()

# The performance report's verdicts, from tables in the benchmarks' formats.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME performance_report_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/performance_report_test.py)
