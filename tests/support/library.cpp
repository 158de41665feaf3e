#include "support/library.h"

#include <cstdlib>
#include <stdexcept>

namespace ulvane::test {

std::string beside_this_program(const std::string& file) {
  char path[MAX_PATH] = "";
  std::string self(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  return self.substr(0, self.find_last_of("\\/") + 1) + file;
}

std::string library_path() {
  const char* chosen = std::getenv("ULVANE_TEST_DLL");
  return chosen && *chosen ? chosen : beside_this_program("Ulvane.dll");
}

HMODULE library_module() {
  static HMODULE module = [] {
    HMODULE loaded = LoadLibraryA(library_path().c_str());
    if (!loaded) throw std::runtime_error(library_path() + " did not load");
    return loaded;
  }();
  return module;
}

const UlvaneApi& library() {
  static UlvaneApi api = [] {
    UlvaneApi resolved{};
    ulvane_resolve(library_module(), &resolved);
    return resolved;
  }();
  return api;
}

}  // namespace ulvane::test
