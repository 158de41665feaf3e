// What the running process holds, measured in ways that also work under Wine, where
// GetProcessHandleCount and the private-bytes counters answer 0.
#pragma once

#include <cstddef>
#include <string>

namespace ulvane::test {

struct ProcessUsage {
  // The highest value among a batch of freshly made handles, in handle slots (value / 4).
  // Freed slots are used again first, so this climbs only when handles stay open.
  long handle_slots = 0;
  long threads = 0;             // threads of this process in a Toolhelp snapshot
  long long private_bytes = 0;  // committed private memory, region by region
  long free_tls_slots = 0;      // thread-local slots TlsAlloc can still give
};

ProcessUsage measure_usage();

// "handles 41 -> 41, threads 2 -> 2, private memory 2113536 -> 2117632 bytes,
// free thread-local slots 1080 -> 1080"
std::string describe_change(const ProcessUsage& before, const ProcessUsage& after);

}  // namespace ulvane::test
