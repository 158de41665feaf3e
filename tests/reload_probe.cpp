// A host that loads and unloads the DLL around every call, as some installer
// plug-ins do: two thousand rounds, and the process must still have room for
// thread-local slots of its own.
#include <windows.h>

#include <cstdio>

#include "support/library.h"
#include "ulvane.h"

int main() {
  const std::string path = ulvane::test::beside_this_program("Ulvane.dll");
  const int kRounds = 2000;
  for (int round = 0; round < kRounds; ++round) {
    HMODULE dll = LoadLibraryA(path.c_str());
    if (!dll) return 1;
    UlvaneApi api;
    ulvane_resolve(dll, &api);
    if (api.GetCachePort("reload-probe") != -1 || api.UpdateCpf(nullptr) != 0 || api.Sleep(0) != 0) return 2;
    if (!FreeLibrary(dll)) return 3;
  }
  DWORD slot = TlsAlloc();
  if (slot == TLS_OUT_OF_INDEXES) return 4;
  TlsFree(slot);
  std::printf("reloaded %d times cleanly\n", kRounds);
  return 0;
}
