#include "runtime/thread_records.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace ulvane {
namespace {

// Module state, not call state: it lives exactly as long as the module is loaded.
// A slim lock needs no handle, so there is nothing to create at load or close at unload.
SRWLOCK records_lock = SRWLOCK_INIT;
// Read without the lock on every call; written only under it.
std::atomic<DWORD> record_slot{TLS_OUT_OF_INDEXES};
ThreadRecord* first_record = nullptr;
// Set by release_all_threads, under the lock. Whatever asks for a record after it
// runs on a module that is unloading, and would take a slot and memory that nothing
// gives back: the checked build ends the process there. It aborts rather than traps:
// such a use runs inside the module's entry point, where the loader catches an
// exception (the trap's included) and carries on unloading as if nothing happened.
bool all_released = false;

#ifdef ULVANE_CHECKED
constexpr bool kChecked = true;
#else
constexpr bool kChecked = false;
#endif

class Exclusive {
public:
  Exclusive() { AcquireSRWLockExclusive(&records_lock); }
  ~Exclusive() { ReleaseSRWLockExclusive(&records_lock); }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;
};

void free_variables(EmulatedVariables& variables) noexcept {
  for (std::size_t i = 0; i < variables.count; ++i) {
    // Each block remembers the start of its allocation just before itself.
    if (variables.blocks[i]) std::free(static_cast<void**>(variables.blocks[i])[-1]);
  }
  std::free(variables.blocks);
  variables = EmulatedVariables();
}

void unlink(ThreadRecord* record) noexcept {
  if (record->previous)
    record->previous->next = record->next;
  else
    first_record = record->next;
  if (record->next) record->next->previous = record->previous;
}

void destroy(ThreadRecord* record) noexcept {
  free_variables(record->variables);
  delete record;
}

// The calling thread's record if it has one; makes none.
ThreadRecord* existing_record() noexcept {
  const DWORD slot = record_slot;
  return slot != TLS_OUT_OF_INDEXES ? static_cast<ThreadRecord*>(TlsGetValue(slot)) : nullptr;
}

}  // namespace

ThreadRecord* this_thread_record() noexcept {
  if (ThreadRecord* record = existing_record()) return record;
  auto* record = new (std::nothrow) ThreadRecord;
  if (!record) return nullptr;
  Exclusive lock;
  if (kChecked && all_released) std::abort();
  if (record_slot == TLS_OUT_OF_INDEXES) record_slot = TlsAlloc();
  if (record_slot == TLS_OUT_OF_INDEXES || !TlsSetValue(record_slot, record)) {
    delete record;
    return nullptr;
  }
  record->next = first_record;
  if (first_record) first_record->previous = record;
  first_record = record;
  return record;
}

std::string& result_storage(ResultText which) {
  ThreadRecord* record = this_thread_record();
  if (!record) throw std::bad_alloc();
  return record->results[static_cast<std::size_t>(which)];
}

void forget_last_failure() noexcept {
  const DWORD last_error = GetLastError();
  if (ThreadRecord* record = existing_record()) record->last_failure.clear();
  SetLastError(last_error);
}

void record_last_failure(const std::string& message) noexcept {
  const DWORD last_error = GetLastError();
  if (ThreadRecord* record = this_thread_record()) {
    try {
      record->last_failure = message;
    } catch (...) {
      // Short enough to fit the string's own buffer: this assignment allocates nothing.
      record->last_failure = "Out of memory";
    }
  }
  SetLastError(last_error);
}

const char* last_failure() noexcept {
  const DWORD last_error = GetLastError();
  const ThreadRecord* record = existing_record();
  SetLastError(last_error);
  return record ? record->last_failure.c_str() : "";
}

void release_this_thread() noexcept {
  ThreadRecord* record = nullptr;
  {
    Exclusive lock;
    if (record_slot == TLS_OUT_OF_INDEXES) return;
    record = static_cast<ThreadRecord*>(TlsGetValue(record_slot));
    if (!record) return;
    TlsSetValue(record_slot, nullptr);
    unlink(record);
  }
  destroy(record);
}

void release_all_threads() noexcept {
  Exclusive lock;
  while (ThreadRecord* record = first_record) {
    unlink(record);
    destroy(record);
  }
  if (record_slot != TLS_OUT_OF_INDEXES) TlsFree(record_slot);
  record_slot = TLS_OUT_OF_INDEXES;
  all_released = true;
}

}  // namespace ulvane
