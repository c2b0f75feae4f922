#include "measure.h"

#include <algorithm>
#include <cstdio>

namespace {

LONGLONG Frequency() {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  return frequency;
}

}  // namespace

DWORD TicksPerMs() { return static_cast<DWORD>(Frequency() / 1000); }

double CounterMs(LONGLONG ticks) {
  return 1000.0 * static_cast<double>(ticks) / static_cast<double>(Frequency());
}

double NowMs() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return CounterMs(now.QuadPart);
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

std::vector<std::string> LoopbackAddresses(const char* first, int count) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  std::sscanf(first, "%u.%u.%u.%u", &a, &b, &c, &d);
  unsigned long base = (a << 24) | (b << 16) | (c << 8) | d;
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    unsigned long v = base + static_cast<unsigned long>(i);
    out.push_back(std::to_string((v >> 24) & 0xFF) + "." + std::to_string((v >> 16) & 0xFF) + "." +
                  std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF));
  }
  return out;
}
