// Every benchmark prints each figure on a line of its own,
//   figure NAME VALUE UNIT
// which the performance report reads by name. Other lines are for people.
#ifndef DNSCHECK_BENCH_FIGURE_H
#define DNSCHECK_BENCH_FIGURE_H

#include <cstdio>
#include <string>

inline void Figure(const std::string& name, double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", value);
  std::string number = text;
  number.erase(number.find_last_not_of('0') + 1);
  if (number.back() == '.') number.pop_back();
  std::printf("figure %s %s %s\n", name.c_str(), number.c_str(), unit);
  // A benchmark that dies later keeps the figures it already printed.
  std::fflush(stdout);
}

#endif
