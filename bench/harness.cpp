#include "harness.h"

#include <windows.h>

#include <algorithm>

namespace ulvane::bench {
namespace {

constexpr double kSampleSeconds = 0.002;

double now_seconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart / frequency;
}

// How many calls make one sample of about kSampleSeconds.
int calls_per_sample(const std::function<void()>& call) {
  int calls = 0;
  double start = now_seconds();
  do {
    call();
    ++calls;
  } while (now_seconds() - start < kSampleSeconds);
  return calls;
}

double sample_us(const std::function<void()>& call, int calls) {
  double start = now_seconds();
  for (int i = 0; i < calls; ++i) call();
  return (now_seconds() - start) * 1e6 / calls;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

Comparison compare(const std::string& label, const std::function<void()>& export_call,
                   const std::function<void()>& bare_calls, int samples) {
  int calls = std::max(calls_per_sample(export_call), calls_per_sample(bare_calls));
  std::vector<double> exported, bare;
  for (int i = 0; i < samples; ++i) {
    exported.push_back(sample_us(export_call, calls));
    bare.push_back(sample_us(bare_calls, calls));
  }
  return {label, median(exported), median(bare)};
}

double median_us(const std::function<void()>& call, int samples) {
  std::vector<double> times;
  for (int i = 0; i < samples; ++i) times.push_back(sample_us(call, 1));
  return median(times);
}

}  // namespace ulvane::bench
