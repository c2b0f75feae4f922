// Every benchmark prints each figure on a line of its own,
//   figure NAME VALUE UNIT
// which the performance report reads by name. Other lines are for people.
#ifndef DNSCHECK_BENCH_FIGURE_H
#define DNSCHECK_BENCH_FIGURE_H

#include <cstdarg>
#include <cstdio>
#include <string>

inline void Figure(const std::string& name, double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", value);
  std::string number = text;
  number.erase(number.find_last_not_of('0') + 1);
  if (number.back() == '.') number.pop_back();
  std::printf("figure %s %s %s\n", name.c_str(), number.c_str(), unit);
  std::fflush(stdout);  // a benchmark that dies later keeps what it printed
}

// Why a benchmark gives up, on stderr; false, for the caller to return.
__attribute__((format(printf, 1, 2))) inline bool Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  return false;
}

#endif
