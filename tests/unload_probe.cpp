// Loads the DLL, calls it on this thread and on a worker that outlives the
// unload, unloads it, and lets the worker end: the host must keep running.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "support/library.h"
#include "ulvane.h"

int main() {
  using ulvane::test::beside_this_program;
  for (int round = 0; round < 3; ++round) {
    HMODULE dll = LoadLibraryA(beside_this_program("Ulvane.dll").c_str());
    if (!dll) return 1;
    UlvaneApi api;
    ulvane_resolve(dll, &api);
    if (std::strcmp(api.GetCacheDir("unload-probe"), "") != 0) return 2;

    HANDLE called = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE unloaded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread worker([&] {
      api.GetCacheConfig();
      api.GetCacheCpf("unload-probe");
      SetEvent(called);
      WaitForSingleObject(unloaded, INFINITE);
    });
    WaitForSingleObject(called, INFINITE);
    if (!FreeLibrary(dll)) return 3;
    SetEvent(unloaded);
    worker.join();
    CloseHandle(called);
    CloseHandle(unloaded);
  }
  std::puts("unloaded cleanly");
  return 0;
}
