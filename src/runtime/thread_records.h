// What the module keeps for each thread that calls it: the result texts and the
// runtime's emulated thread-locals. The module owns these records itself instead of
// registering thread-exit destructors with the runtime, which would hold the module
// loaded until the thread ends: a thread's record goes when the thread detaches, and
// every record, with the one thread-local slot they hang from, when the module unloads.
#pragma once

#include <cstddef>
#include <string>

namespace ulvane {

// One result text per text-returning export: each stays valid until the same export
// is next called on the same thread.
enum class ResultText { Call, GetCacheConfig, GetCacheDir, GetCacheCpf, Count };

// The runtime's thread-local variables of one thread, by the index each variable is
// given on its first use in the module.
struct EmulatedVariables {
  void** blocks = nullptr;
  std::size_t count = 0;
};

struct ThreadRecord {
  std::string results[static_cast<std::size_t>(ResultText::Count)];
  // The failure of the thread's last export call, or empty: what GetLastFailure gives.
  std::string last_failure;
  EmulatedVariables variables;
  ThreadRecord* previous = nullptr;
  ThreadRecord* next = nullptr;
};

// The calling thread's record, made on first use; null when no memory or no slot is left.
ThreadRecord* this_thread_record() noexcept;

// The calling thread's storage for one export's result text. Throws std::bad_alloc
// when there is no record to hold it.
std::string& result_storage(ResultText which);

// The thread's last failure. Each export call forgets it as it starts (making no record
// for a thread that has none) and records the failure it turns into its return value.
// None of these changes the thread's last error, which a host may read after a call.
void forget_last_failure() noexcept;
void record_last_failure(const std::string& message) noexcept;
// The recorded text, valid until the thread's next export call; "" when there is none.
const char* last_failure() noexcept;

// Module entry points: the detaching thread's record, and every record at unload.
// release_all_threads is the last word: after it nothing of the module may use a
// result text or a thread-local, since a record made then would outlive the module.
// The checked build (ULVANE_CHECKED) aborts on such a use; others take a new record.
void release_this_thread() noexcept;
void release_all_threads() noexcept;

}  // namespace ulvane
