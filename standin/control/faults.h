// The faults an instance is made with, parsed from the text tests give
// StandinSetFaults (the format is documented in standin_control.h).
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace standin {

struct Outcome {
  HRESULT code = S_OK;
  bool exception = false;  // DISP_E_EXCEPTION with scode (or wCode) and description
  HRESULT scode = S_OK;
  WORD wcode = 0;
  std::wstring description;
  // A C++ exception thrown inside the entry point, which must not let it out.
  enum class Thrown { Nothing, BadAlloc, RuntimeError } thrown = Thrown::Nothing;
};

// Throws what outcome asks for, if anything.
void throw_if_asked(const Outcome& outcome);

class Faults {
public:
  static std::optional<Faults> parse(const std::string& text);

  bool p1_null() const { return p1_null_; }
  const std::optional<Outcome>& create() const { return create_; }

  // Counts a call to target (e.g. "InitNew", "put:25") and says whether this one fails;
  // throws when its fault is a thrown exception.
  std::optional<Outcome> on_call(const std::string& target);

private:
  struct Fault {
    std::string target;
    int nth = 0;  // 0: every call
    Outcome outcome;
  };

  std::vector<Fault> faults_;
  std::map<std::string, int> calls_;
  std::optional<Outcome> create_;
  bool p1_null_ = false;
};

}  // namespace standin
