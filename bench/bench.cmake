# Benchmarks: Windows programs with their own main, run under Wine by
# scripts/bench.sh; never part of ctest.
function(dnscheck_bench name)
  add_executable(${name} ${ARGN} ${CMAKE_SOURCE_DIR}/res/dnscheck.rc)
  target_link_options(${name} PRIVATE ${STATIC_LINK})
  target_link_libraries(${name} PRIVATE wintest)
endfunction()

dnscheck_bench(list_file_bench bench/list_file_bench.cpp)
target_compile_options(list_file_bench PRIVATE ${WARNINGS})

dnscheck_bench(latency_bench bench/latency_bench.cpp)
target_compile_options(latency_bench PRIVATE ${WARNINGS})
dnscheck_bench(scan_bench bench/scan_bench.cpp)
target_compile_options(scan_bench PRIVATE ${WARNINGS})
dnscheck_bench(exe_memory_bench bench/exe_memory_bench.cpp)
target_compile_options(exe_memory_bench PRIVATE ${WARNINGS})
target_link_libraries(exe_memory_bench PRIVATE psapi ntdll)
# The pacer under Windows' timer semantics, simulated.
dnscheck_bench(timer_sim_bench bench/timer_sim_bench.cpp)
target_compile_options(timer_sim_bench PRIVATE ${WARNINGS})
