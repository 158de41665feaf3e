// A host that loads Ulvane.dll from its own folder, as an installer loads the copy it
// extracted, and makes the calls its command line names, printing "CALL -> result" for
// each; then it names each module it holds whose code is a planted DLL
// (tests/planting/planted.c), and each other module it holds from its folder.
//
//   planting-host.exe CALL...   CALL: Export|argument|... (a missing argument is null),
//                               faults|CONTROL|TEXT   the stand-in control's faults,
//                               load|NAME             LoadLibraryA by bare name
//
// It imports only kernel32 and the C runtime, so every other system DLL the library
// needs is loaded because of the library; and it leaves the DLL search as Windows
// starts it (no SetDefaultDllDirectories), the worst a host can do.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ulvane.h"

namespace {

std::vector<std::string> fields(const std::string& call) {
  std::vector<std::string> result(1);
  for (char c : call) {
    if (c == '|')
      result.emplace_back();
    else
      result.back() += c;
  }
  return result;
}

std::string module_path(HMODULE module) {
  char path[MAX_PATH] = "";
  return std::string(path, GetModuleFileNameA(module, path, MAX_PATH));
}

std::string folder_of(const std::string& path) {
  return path.substr(0, path.find_last_of('\\'));
}

std::string run(const UlvaneApi& api, const std::vector<std::string>& call) {
  auto text = [&](std::size_t i) { return i < call.size() ? call[i].c_str() : nullptr; };
  auto number = [](int value) { return std::to_string(value); };
  const std::string& name = call[0];
  if (name == "GetCacheConfig") return api.GetCacheConfig();
  if (name == "GetCacheDir") return api.GetCacheDir(text(1));
  if (name == "GetCacheCpf") return api.GetCacheCpf(text(1));
  if (name == "GetCachePort") return number(api.GetCachePort(text(1)));
  if (name == "UpdateCpf") return number(api.UpdateCpf(text(1)));
  if (name == "Call") return api.Call(text(1), text(2), text(3), text(4));
  if (name == "LoadRtn") return number(api.LoadRtn(text(1), text(2), text(3), text(4), text(5)));
  if (name == "LoadFile") return number(api.LoadFile(text(1), text(2), text(3)));
  if (name == "Sleep") return number(api.Sleep(std::atoi(text(1) ? text(1) : "0")));
  if (name == "faults") {
    // Loaded from the path it is registered under and kept: the module COM loads for
    // the next instances is this one, and gives them the faults.
    using SetFaults = int(__stdcall*)(const char*);
    auto set = reinterpret_cast<SetFaults>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryA(text(1)), "StandinSetFaults")));
    return set ? number(set(text(2))) : "no stand-in control at " + call[1];
  }
  if (name == "load") return LoadLibraryA(text(1)) ? "loaded" : "not loaded";
  return "unknown call";
}

}  // namespace

int main(int argc, char** argv) {
  // Unbuffered, so that a call that never returns shows which it is.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string folder = folder_of(module_path(nullptr));
  // The current directory is searched too: an installer started from the download
  // folder has it there.
  SetCurrentDirectoryA(folder.c_str());
  HMODULE library = LoadLibraryA((folder + "\\Ulvane.dll").c_str());
  UlvaneApi api{};
  if (!library || ulvane_resolve(library, &api) != ULVANE_EXPORT_COUNT) {
    std::printf("Ulvane.dll did not load (error %lu)\n", GetLastError());
    return 1;
  }
  for (int i = 1; i < argc; ++i) std::printf("%s -> %s\n", argv[i], run(api, fields(argv[i])).c_str());

  HMODULE modules[1024];
  DWORD size = 0;
  if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &size)) {
    std::printf("cannot list the modules (error %lu)\n", GetLastError());
    return 1;
  }
  for (DWORD i = 0; i < size / sizeof *modules && i < 1024; ++i) {
    const std::string path = module_path(modules[i]);
    const std::string name = path.substr(path.find_last_of('\\') + 1);
    if (GetProcAddress(modules[i], "UlvanePlanted"))
      std::printf("planted %s\n", name.c_str());
    else if (modules[i] != GetModuleHandleA(nullptr) && modules[i] != library &&
             _stricmp(folder_of(path).c_str(), folder.c_str()) == 0)
      std::printf("from this folder, not planted %s\n", name.c_str());
  }
  return 0;
}
