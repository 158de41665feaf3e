// The runtime's emulated thread-locals (the compiler turns every thread_local into a
// call of __emutls_get_address), defined here in place of the runtime's own. The
// runtime's version takes a thread-local slot that no unload gives back and frees each
// thread's variables only when the thread ends; this one keeps them in the module's
// thread records, so they go when the thread detaches or the module unloads.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <windows.h>

#include "runtime/thread_records.h"

namespace {

// The layout the compiler emits for every thread-local variable.
struct EmulatedObject {
  std::uintptr_t size;
  std::uintptr_t align;
  std::uintptr_t index;  // 0 until the variable's first use, then its place + 1
  void* initial_value;   // null: zero-filled
};

SRWLOCK index_lock = SRWLOCK_INIT;
std::uintptr_t indexes_given = 0;

std::uintptr_t index_of(EmulatedObject* object) {
  std::uintptr_t index = __atomic_load_n(&object->index, __ATOMIC_ACQUIRE);
  if (index != 0) return index;
  AcquireSRWLockExclusive(&index_lock);
  index = object->index;
  if (index == 0) {
    index = ++indexes_given;
    __atomic_store_n(&object->index, index, __ATOMIC_RELEASE);
  }
  ReleaseSRWLockExclusive(&index_lock);
  return index;
}

// A block for one variable, aligned as asked, with the start of its allocation kept
// just before it so that it can be freed.
void* new_block(const EmulatedObject* object) {
  std::uintptr_t align = object->align < sizeof(void*) ? sizeof(void*) : object->align;
  void* allocation = std::malloc(object->size + align + sizeof(void*));
  if (!allocation) return nullptr;
  auto start = reinterpret_cast<std::uintptr_t>(allocation) + sizeof(void*);
  auto* block = reinterpret_cast<void*>((start + align - 1) & ~(align - 1));
  static_cast<void**>(block)[-1] = allocation;
  if (object->initial_value)
    std::memcpy(block, object->initial_value, object->size);
  else
    std::memset(block, 0, object->size);
  return block;
}

bool make_room(ulvane::EmulatedVariables& variables, std::uintptr_t index) {
  if (index <= variables.count) return true;
  std::size_t count = index + 16;
  void* grown = std::realloc(variables.blocks, count * sizeof(void*));
  if (!grown) return false;
  variables.blocks = static_cast<void**>(grown);
  std::memset(variables.blocks + variables.count, 0, (count - variables.count) * sizeof(void*));
  variables.count = count;
  return true;
}

}  // namespace

// The compiler declares both entry points itself, with untyped objects.
extern "C" void* __emutls_get_address(void* variable) {
  auto* object = static_cast<EmulatedObject*>(variable);
  std::uintptr_t index = index_of(object);
  ulvane::ThreadRecord* record = ulvane::this_thread_record();
  // The runtime asks for its variables where it cannot take a failure (in the middle
  // of throwing), so running out of memory here ends the process, as the runtime's
  // own version does.
  if (!record || !make_room(record->variables, index)) std::abort();
  void*& block = record->variables.blocks[index - 1];
  if (!block) block = new_block(object);
  if (!block) std::abort();
  return block;
}

// Declared for common (uninitialised C) thread-locals; defined so that the runtime's
// version is never linked in beside this one.
extern "C" void __emutls_register_common(void* variable, std::uintptr_t size, std::uintptr_t align,
                                         void* initial_value) {
  auto* object = static_cast<EmulatedObject*>(variable);
  if (object->size < size) {
    object->size = size;
    object->initial_value = nullptr;
  }
  if (object->align < align) object->align = align;
  if (initial_value && size == object->size) object->initial_value = initial_value;
}
