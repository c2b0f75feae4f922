# The end-to-end test: the real dnscheck.exe, started under Wine and
# driven from outside by a small driver program, against scripted DNS
# servers on loopback. The driver and the servers also serve the demo of
# scripts/run.sh.
add_executable(e2e_driver tests/e2e/driver.cpp)
target_include_directories(e2e_driver PRIVATE res tests)
target_compile_definitions(e2e_driver PRIVATE WIN32_LEAN_AND_MEAN)
target_compile_options(e2e_driver PRIVATE ${WARNINGS})
target_link_options(e2e_driver PRIVATE ${STATIC_LINK})

add_executable(e2e_dns_servers tests/e2e/dns_servers.cpp)
target_compile_options(e2e_dns_servers PRIVATE ${WARNINGS})
target_link_options(e2e_dns_servers PRIVATE ${STATIC_LINK})
target_link_libraries(e2e_dns_servers PRIVATE wintest)

# A winmm.dll planted beside the tool, in a folder of its own so that no
# program of this tree loads it, and the control that imports winmm plainly.
add_library(e2e_planted_winmm SHARED tests/e2e/planted_winmm.cpp)
target_compile_definitions(e2e_planted_winmm PRIVATE PLANTED_DLL)
target_compile_options(e2e_planted_winmm PRIVATE ${WARNINGS})
# Exported as winmm names them, without 32-bit stdcall decoration.
target_link_options(e2e_planted_winmm PRIVATE ${STATIC_LINK} -Wl,--kill-at)
set_target_properties(e2e_planted_winmm PROPERTIES OUTPUT_NAME winmm PREFIX ""
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted)
add_executable(e2e_plain_winmm tests/e2e/planted_winmm.cpp)
target_compile_options(e2e_plain_winmm PRIVATE ${WARNINGS})
target_link_options(e2e_plain_winmm PRIVATE ${STATIC_LINK})
target_link_libraries(e2e_plain_winmm PRIVATE winmm)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME e2e_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/e2e_test.py ${CMAKE_BINARY_DIR})
# Its first run makes a Wine prefix of its own, which is slow on a busy
# machine; the scans themselves take seconds. Its servers hold port 53,
# which the other tests with servers take in turns.
set_tests_properties(e2e_test PROPERTIES TIMEOUT 900 RESOURCE_LOCK port53)
