// Calls made in a row with the process measured around them, for the suites that
// look for what calls leave behind. Prints a line starting "figures:".
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>

#include "support/process_usage.h"

namespace ulvane::test {

struct MeasuredCalls {
  ProcessUsage before;
  ProcessUsage after;
  int wrong = 0;       // wrong results among the warm-up and the measured calls
  double seconds = 0;  // the measured calls' time
};

// Makes warm_ups calls, measures the process, makes count calls and measures it
// again: what the first calls of a process set up once is not counted as growth.
// call(i) makes the i-th call (numbered from 0 in each part) and tells whether its
// result was right; every result must be. Prints "figures: <label>: <unit> <count>,
// wrong <n>, <change>".
inline MeasuredCalls measure_calls(const std::string& label, const char* unit, int warm_ups, int count,
                                   const std::function<bool(int)>& call) {
  MeasuredCalls run;
  for (int i = 0; i < warm_ups; ++i) run.wrong += !call(i);
  run.before = measure_usage();
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  for (int i = 0; i < count; ++i) run.wrong += !call(i);
  QueryPerformanceCounter(&end);
  run.after = measure_usage();
  run.seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
  std::printf("figures: %s: %s %d, wrong %d, %s\n", label.c_str(), unit, count, run.wrong,
              describe_change(run.before, run.after).c_str());
  EXPECT_EQ(run.wrong, 0) << label;
  return run;
}

}  // namespace ulvane::test
