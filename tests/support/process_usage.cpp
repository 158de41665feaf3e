#include "support/process_usage.h"

#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

namespace ulvane::test {
namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

// Enough fresh handles that the highest of them lies past any small holes left by
// handles closed meanwhile.
constexpr int kHandleBatch = 32;

long highest_fresh_handle_slot() {
  std::vector<OwnedHandle> batch;
  long highest = 0;
  for (int i = 0; i < kHandleBatch; ++i) {
    batch.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!batch.back()) throw std::runtime_error("CreateEvent failed");
    highest = std::max(highest, static_cast<long>(reinterpret_cast<ULONG_PTR>(batch.back().get()) / 4));
  }
  return highest;
}

long thread_count() {
  OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (snapshot.get() == INVALID_HANDLE_VALUE) {
    snapshot.release();
    throw std::runtime_error("CreateToolhelp32Snapshot failed");
  }
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  long count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
    count += entry.th32OwnerProcessID == GetCurrentProcessId();
  return count;
}

long long committed_private_bytes() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  long long total = 0;
  auto* address = static_cast<const char*>(system.lpMinimumApplicationAddress);
  MEMORY_BASIC_INFORMATION region;
  while (address < system.lpMaximumApplicationAddress && VirtualQuery(address, &region, sizeof region)) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    address = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
  }
  return total;
}

// Takes every slot there is, counting, and gives them all back.
long free_tls_slots() {
  std::vector<DWORD> taken;
  for (DWORD slot = TlsAlloc(); slot != TLS_OUT_OF_INDEXES; slot = TlsAlloc()) taken.push_back(slot);
  for (DWORD slot : taken) TlsFree(slot);
  return static_cast<long>(taken.size());
}

}  // namespace

ProcessUsage measure_usage() {
  ProcessUsage usage;
  usage.handle_slots = highest_fresh_handle_slot();
  usage.threads = thread_count();
  usage.private_bytes = committed_private_bytes();
  usage.free_tls_slots = free_tls_slots();
  return usage;
}

std::string describe_change(const ProcessUsage& before, const ProcessUsage& after) {
  std::string text = "handles ";
  text.append(std::to_string(before.handle_slots)).append(" -> ").append(std::to_string(after.handle_slots));
  text.append(", threads ").append(std::to_string(before.threads)).append(" -> ");
  text.append(std::to_string(after.threads)).append(", private memory ");
  text.append(std::to_string(before.private_bytes))
      .append(" -> ")
      .append(std::to_string(after.private_bytes));
  text.append(" bytes, free thread-local slots ")
      .append(std::to_string(before.free_tls_slots))
      .append(" -> ");
  return text.append(std::to_string(after.free_tls_slots));
}

}  // namespace ulvane::test
