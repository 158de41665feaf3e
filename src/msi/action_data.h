// The text an installer gives a custom action: "Key=Value" entries joined by ';', where
// ";;" stands for a ';' inside a value. Each action names the keys it takes.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/failure.h"

namespace ulvane::msi {

// One key an action takes: whether it must be there, and whether it may come more than once.
struct KeyRule {
  std::string_view name;
  bool required = false;
  bool repeated = false;
};

class ActionData {
public:
  // Splits text and checks it against the action's keys. source says where the text
  // came from ("UlvaneCall's CustomActionData"). A Failure names it,
  // the entry at fault and what is wrong with it: an empty entry, one without '=', an
  // empty or unknown key, a key given twice that may come once, a required key missing.
  ActionData(std::string_view source, std::string_view text, std::initializer_list<KeyRule> keys);

  // The value of a key given once, if it was given.
  std::optional<std::string> value(std::string_view key) const;
  // The value of a key given once as a whole number from low to high; absent when it
  // was not given. A Failure like the constructor's for any other value.
  int number(std::string_view key, int absent, int low, int high) const;
  // A Failure saying that the data is malformed, and why.
  Failure malformed(const std::string& why) const;
  // Every entry, in the order given (for the keys that may repeat).
  const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }

private:
  std::string source_;
  std::string keys_;
  std::vector<std::pair<std::string, std::string>> entries_;
};

}  // namespace ulvane::msi
