#include "support/library.h"

#include <stdexcept>

namespace ulvane::test {

std::string beside_this_program(const std::string& file) {
  char path[MAX_PATH] = "";
  std::string self(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  return self.substr(0, self.find_last_of("\\/") + 1) + file;
}

HMODULE library_module() {
  static HMODULE module = [] {
    HMODULE loaded = LoadLibraryA(beside_this_program("Ulvane.dll").c_str());
    if (!loaded) throw std::runtime_error("Ulvane.dll did not load");
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
