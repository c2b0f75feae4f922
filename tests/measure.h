// Clocks, statistics and address lists shared by the tests and the
// benchmarks, so that each figure is computed one way everywhere.
#ifndef DNSCHECK_TESTS_MEASURE_H
#define DNSCHECK_TESTS_MEASURE_H

#include <windows.h>

#include <string>
#include <vector>

// High-resolution counter ticks per millisecond, as a scan worker
// computes them (integer division).
DWORD TicksPerMs();
// Milliseconds for a span of the high-resolution counter.
double CounterMs(LONGLONG ticks);
// The high-resolution counter now, in milliseconds.
double NowMs();

// Middle value (the mean of the two middle ones for an even count); 0 for none.
double Median(std::vector<double> values);
// The value at fraction p (0 to 1) of the sorted values, by rank
// p * (n - 1) rounded down; 0 for none.
double Percentile(std::vector<double> values, double p);

// `count` consecutive IPv4 addresses in dotted text from `first` upward,
// across octet boundaries ("127.0.3.255" is followed by "127.0.4.0").
std::vector<std::string> LoopbackAddresses(const char* first, int count);

#endif
