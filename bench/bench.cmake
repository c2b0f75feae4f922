# Benchmarks: Windows programs with their own main, run under Wine by
# scripts/bench.sh; never part of ctest.
dnscheck_windows_program(list_file_bench bench/list_file_bench.cpp)
dnscheck_windows_program(list_reading_bench bench/list_reading_bench.cpp)
dnscheck_windows_program(latency_bench bench/latency_bench.cpp)
dnscheck_windows_program(scan_bench bench/scan_bench.cpp)
dnscheck_windows_program(exe_memory_bench bench/exe_memory_bench.cpp)
target_link_libraries(exe_memory_bench PRIVATE psapi ntdll)
# The pacer under Windows' timer semantics, simulated.
dnscheck_windows_program(timer_sim_bench bench/timer_sim_bench.cpp)
