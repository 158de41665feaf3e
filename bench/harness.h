// A small timing harness: the median of many timed samples, taken with
// QueryPerformanceCounter, of an export and of the bare platform calls it makes.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ulvane::bench {

struct Comparison {
  std::string label;
  double export_us = 0;  // one call, median
  double bare_us = 0;
  double ratio() const { return export_us / bare_us; }
};

// Times both sides in alternation, so that whatever the machine does meanwhile
// falls on both. A sample repeats the call until it lasts at least about 2 ms.
Comparison compare(const std::string& label, const std::function<void()>& export_call,
                   const std::function<void()>& bare_calls, int samples);

// The median time of one call, in microseconds.
double median_us(const std::function<void()>& call, int samples);

}  // namespace ulvane::bench
