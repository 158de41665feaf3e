#include "msi/action_data.h"

#include <algorithm>

#include "common/failure.h"

namespace ulvane::msi {

namespace {

// The entries of text, each with its ";;" turned into ';'.
std::vector<std::string> split_entries(std::string_view text) {
  std::vector<std::string> entries(1);
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] != ';') {
      entries.back() += text[at];
    } else if (at + 1 < text.size() && text[at + 1] == ';') {
      entries.back() += ';';
      ++at;
    } else {
      entries.emplace_back();
    }
  }
  return entries;
}

std::string key_list(std::initializer_list<KeyRule> keys) {
  std::string list;
  for (const KeyRule& key : keys) list.append(list.empty() ? "" : ", ").append(key.name);
  return list;
}

}  // namespace

ActionData::ActionData(std::string_view source, std::string_view text, std::initializer_list<KeyRule> keys)
    : source_(source), keys_(key_list(keys)) {
  if (text.empty()) throw malformed("it is empty");
  const std::vector<std::string> split = split_entries(text);
  for (std::size_t index = 0; index < split.size(); ++index) {
    const std::string& entry = split[index];
    const std::string position = "entry " + std::to_string(index + 1);
    if (entry.empty()) throw malformed(position + " is empty");
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos) throw malformed(position + " (\"" + entry + "\") has no '='");
    std::string key = entry.substr(0, equals);
    if (key.empty()) throw malformed(position + " (\"" + entry + "\") has no key before its '='");
    const auto rule =
        std::find_if(keys.begin(), keys.end(), [&](const KeyRule& known) { return known.name == key; });
    if (rule == keys.end()) throw malformed(position + " has the unknown key '" + key + "'");
    if (!rule->repeated && value(key)) throw malformed(position + " gives the key '" + key + "' a second time");
    entries_.emplace_back(std::move(key), entry.substr(equals + 1));
  }
  for (const KeyRule& rule : keys)
    if (rule.required && !value(rule.name))
      throw malformed("the key '" + std::string(rule.name) + "' is missing");
}

int ActionData::number(std::string_view key, int absent, int low, int high) const {
  const std::optional<std::string> text = value(key);
  if (!text) return absent;
  long long number = 0;
  bool digits = !text->empty() && text->size() <= 9;
  for (char c : *text) {
    digits = digits && c >= '0' && c <= '9';
    number = number * 10 + (c - '0');
  }
  if (!digits || number < low || number > high)
    throw malformed(std::string(key) + " is \"" + *text + "\", not a whole number from " + std::to_string(low) +
                    " to " + std::to_string(high));
  return static_cast<int>(number);
}

Failure ActionData::malformed(const std::string& why) const {
  return Failure::format("%s is malformed: %s. It is Key=Value entries joined by ';' "
                         "(write ';;' for a ';' in a value), with the keys %s",
                         source_, why, keys_);
}

std::optional<std::string> ActionData::value(std::string_view key) const {
  for (const auto& [name, value] : entries_)
    if (name == key) return value;
  return std::nullopt;
}

}  // namespace ulvane::msi
