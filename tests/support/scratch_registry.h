// Owns the configurations record of the test prefix's registry for one test:
// removed (in both registry views) when made and when destroyed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ulvane::test {

// The registry views by name: a test means the same view whatever its own architecture.
enum class View { Wide32, Wide64 };

class ScratchConfigurations {
public:
  ScratchConfigurations();
  ~ScratchConfigurations();
  ScratchConfigurations(const ScratchConfigurations&) = delete;
  ScratchConfigurations& operator=(const ScratchConfigurations&) = delete;

  // Creates the configurations key itself, with no configuration in it.
  void create_root(View view = View::Wide32);
  // Creates a configuration's key (and the configurations key).
  void add(const std::string& name, View view = View::Wide32);
  // Sets the default value of the configuration's subkey ("Directory", "Properties").
  void set_default(const std::string& name, const std::string& subkey, DWORD type, const void* data,
                   DWORD size, View view = View::Wide32);
  void set_text(const std::string& name, const std::string& subkey, const std::string& text,
                View view = View::Wide32);
  // Creates the subkey with no default value.
  void add_subkey(const std::string& name, const std::string& subkey, View view = View::Wide32);
  // Makes the configurations key (empty name), a configuration's key (empty
  // subkey) or its subkey refuse read access until this object goes; creates it first.
  void refuse_read(const std::string& name, const std::string& subkey, View view = View::Wide32);

private:
  struct Refused {
    std::string path;
    View view;
  };
  std::vector<Refused> refused_;

  static void remove_all();
};

}  // namespace ulvane::test
