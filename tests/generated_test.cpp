// Generated inputs with fixed seeds: the integer syntax and the field splitter
// against small reference models, and UpdateCpf over generated configuration
// files against a model of its rules.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "config/extract_field.h"
#include "config/integer_syntax.h"
#include "support/library.h"
#include "support/scratch_directory.h"
#include "support/shared_texts.h"

using namespace ulvane::test;

namespace {

// ---- reference models, written for plainness rather than speed ----

bool all_of(const std::string& text, const char* allowed) {
  return !text.empty() && text.find_first_not_of(allowed) == std::string::npos;
}

std::string without_leading_zeros(const std::string& digits) {
  std::size_t first = digits.find_first_not_of('0');
  return first == std::string::npos ? "0" : digits.substr(first);
}

std::optional<std::int32_t> model_integer(std::string text) {
  const char* decimal = "0123456789";
  const char* hexadecimal = "0123456789abcdefABCDEF";
  while (!text.empty() && text[0] == ' ') text.erase(0, 1);
  if (text.empty()) return std::nullopt;
  bool negative = text[0] == '-';
  if (text[0] == '-' || text[0] == '+') text.erase(0, 1);
  else
    for (const std::string prefix : {"0x", "0X", "$", "x", "X"})
      if (text.rfind(prefix, 0) == 0) {
        std::string digits = text.substr(prefix.size());
        if (!all_of(digits, hexadecimal)) return std::nullopt;
        digits = without_leading_zeros(digits);
        if (digits.size() > 8) return std::nullopt;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16)));
      }
  if (!all_of(text, decimal)) return std::nullopt;
  std::string digits = without_leading_zeros(text);
  if (digits.size() > 10) return std::nullopt;
  long long value = std::stoll(digits) * (negative ? -1 : 1);
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::string model_field(const std::string& text, char delimiter, int n) {
  std::vector<std::string> fields(1);
  for (char c : text) {
    if (c == delimiter) fields.emplace_back();
    else fields.back() += c;
  }
  if (n <= 1) return fields[0];
  return n <= static_cast<int>(fields.size()) ? fields[n - 1] : "";
}

std::string random_text(std::mt19937& random, const std::string& alphabet, int longest) {
  std::string text(random() % (longest + 1), ' ');
  for (char& c : text) c = alphabet[random() % alphabet.size()];
  return text;
}

}  // namespace

TEST(Generated, IntegerSyntaxAgreesWithTheModel) {
  std::mt19937 random(20261210);
  // Characters that matter to the syntax, weighted towards digits, and a few that do not.
  const std::string alphabet = "  +-$xX0000111999aAfFgG\t.,";
  int parsed = 0;
  const int kCases = 200000;
  for (int i = 0; i < kCases; ++i) {
    std::string text = random_text(random, alphabet, 1 + i % 14);
    auto expected = model_integer(text);
    ASSERT_EQ(ulvane::config::parse_integer(text), expected) << '"' << text << '"';
    parsed += expected.has_value();
  }
  // Numbers near the 32-bit limits, where range checks go wrong.
  for (long long value = INT32_MIN - 3LL; value <= INT32_MIN + 3LL; ++value)
    ASSERT_EQ(ulvane::config::parse_integer(std::to_string(value)), model_integer(std::to_string(value)));
  for (long long value = INT32_MAX - 3LL; value <= INT32_MAX + 3LL; ++value)
    for (const std::string& text : {std::to_string(value), "+" + std::to_string(value), "$" + std::to_string(value)})
      ASSERT_EQ(ulvane::config::parse_integer(text), model_integer(text)) << text;
  EXPECT_GT(parsed, kCases / 10);  // the generator reaches the valid forms too
  RecordProperty("integer_cases", kCases);
}

TEST(Generated, FieldSplitterAgreesWithTheModel) {
  std::mt19937 random(7);
  const int kCases = 100000;
  for (int i = 0; i < kCases; ++i) {
    std::string text = random_text(random, ",,__ab", 10);
    char delimiter = i % 2 ? ',' : '_';
    int n = static_cast<int>(random() % 8) - 2;
    ASSERT_EQ(ulvane::config::extract_field(text, delimiter, n), model_field(text, delimiter, n))
        << '"' << text << "\" " << delimiter << ' ' << n;
  }
  RecordProperty("field_cases", kCases);
}

namespace {

struct Rule {
  const char* section;
  const char* prefix;
  const char* match;
  const char* value;
};
const Rule kRules[] = {{"Namespaces", "Nsp_", "ULV", kNsp.c_str()},
                       {"CSP.Applications", "CSPApp_", "/csp/ulv", kApp.c_str()}};

using Section = std::vector<std::pair<std::string, std::string>>;  // keys in file order, with values

// A key as configuration files hold them: mostly good numbers in their many
// spellings, now and then a name that does not parse.
std::string random_key(std::mt19937& random, const char* prefix) {
  const int number = static_cast<int>(random() % 40) - 3;
  switch (random() % 12) {
    case 0: return std::string("Other_") + std::to_string(number);
    case 1: return std::string(prefix) + "0" + std::to_string(number < 0 ? -number : number);
    case 2: return std::string(prefix) + "$" + std::to_string(number < 0 ? 1 : number);
    case 3: return std::string(prefix) + std::to_string(number) + "_old";
    case 4: return std::string(prefix) + "+" + std::to_string(number < 0 ? 0 : number);
    case 5: return random() % 8 ? std::string(prefix) + std::to_string(number) : std::string("Broken");
    default: return std::string(prefix) + std::to_string(number);
  }
}

std::string random_value(std::mt19937& random, const Rule& rule) {
  const std::string firsts[] = {rule.match, "ulv", "USER", "/csp/sys", "", std::string(rule.match) + "X"};
  std::string value = firsts[random() % 6];
  if (random() % 2) value += ",rest," + std::to_string(random() % 100);
  return value;
}

// The entry of the section under key, matched as the platform matches keys:
// without regard to case.
Section::const_iterator find_key(const Section& section, const std::string& key) {
  return std::find_if(section.begin(), section.end(),
                      [&](auto& entry) { return _stricmp(entry.first.c_str(), key.c_str()) == 0; });
}

// What the rules do to one section: the key they write, or nothing when a key
// number does not parse. A match whose rebuilt key holds another entry counts as none.
std::optional<std::string> model_update(const Section& section, const Rule& rule, int& demoted) {
  std::int32_t chosen = -1, highest = 0;
  for (const auto& [key, value] : section) {
    auto number = model_integer(model_field(key, '_', 2));
    if (!number) return std::nullopt;
    highest = std::max(highest, *number);
    if (model_field(value, ',', 1) == rule.match) chosen = *number;
  }
  if (chosen != -1) {
    auto rebuilt = find_key(section, std::string(rule.prefix) + std::to_string(chosen));
    if (rebuilt != section.end() && model_field(rebuilt->second, ',', 1) != rule.match) {
      chosen = -1;
      ++demoted;
    }
  }
  if (chosen == -1) chosen = highest + 1;
  return std::string(rule.prefix) + std::to_string(chosen);
}

std::string section_text(const char* name, const Section& section) {
  std::string text = std::string("[") + name + "]\r\n";
  for (const auto& [key, value] : section) text += key + "=" + value + "\r\n";
  return text;
}

// A section as the platform reads it back: keys in order with their values.
Section read_section(const std::string& path, const char* name) {
  std::vector<char> buffer(1 << 16);
  DWORD length = GetPrivateProfileSectionA(name, buffer.data(), static_cast<DWORD>(buffer.size()), path.c_str());
  Section section;
  for (const char* line = buffer.data(); line < buffer.data() + length && *line; line += strlen(line) + 1) {
    std::string entry = line;
    std::size_t equals = entry.find('=');
    section.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
  }
  return section;
}

}  // namespace

TEST(Generated, UpdateCpfWritesTheKeyTheRulesChooseAndNothingElse) {
  ScratchDirectory dir;
  std::mt19937 random(1972);
  const int kFiles = 1000;
  int refused = 0;
  int demoted = 0;  // matches that would have been written over another entry
  for (int file = 0; file < kFiles; ++file) {
    Section sections[2];
    for (int r = 0; r < 2; ++r) {
      std::map<std::string, bool> used;
      for (int k = static_cast<int>(random() % 9); k > 0; --k) {
        std::string key = random_key(random, kRules[r].prefix);
        if (used[key]) continue;  // one entry per key, as the platform keeps them
        used[key] = true;
        sections[r].emplace_back(key, random_value(random, kRules[r]));
      }
    }
    const std::string before = "[Startup]\r\nDefaultPort=1972\r\n" + section_text("Namespaces", sections[0]) +
                               section_text("CSP.Applications", sections[1]);
    const std::string name = "gen" + std::to_string(file) + ".cpf";
    const std::string path = dir.write(name, before);

    // The model: rule by rule, stopping at the first key that does not parse.
    Section expected[2] = {sections[0], sections[1]};
    int status = 1;
    for (int r = 0; r < 2 && status; ++r) {
      auto key = model_update(expected[r], kRules[r], demoted);
      if (!key) {
        status = 0;
        break;
      }
      auto existing = find_key(expected[r], *key);
      if (existing != expected[r].end())
        expected[r][existing - expected[r].begin()].second = kRules[r].value;
      else
        expected[r].emplace_back(*key, kRules[r].value);
    }

    ASSERT_EQ(library().UpdateCpf(path.c_str()), status) << name << ":\n" << before;
    // A second run finds nothing left to change.
    const std::string after = dir.read(name);
    EXPECT_EQ(library().UpdateCpf(path.c_str()), status) << name << ", second run";
    EXPECT_EQ(dir.read(name), after) << name << ", second run";
    refused += status == 0;
    if (status == 0 && expected[0] == sections[0]) {
      EXPECT_EQ(dir.read(name), before) << name;  // nothing written at all
      continue;
    }
    EXPECT_EQ(read_section(path, "Namespaces"), expected[0]) << name << ":\n" << before;
    EXPECT_EQ(read_section(path, "CSP.Applications"), expected[1]) << name << ":\n" << before;
    EXPECT_EQ(read_section(path, "Startup"), (Section{{"DefaultPort", "1972"}})) << name;
  }
  // Both outcomes are reached, and mostly the written one.
  EXPECT_GT(refused, 0);
  EXPECT_LT(refused, kFiles / 2);
  EXPECT_GT(demoted, 0);
  RecordProperty("generated_files", kFiles);
  RecordProperty("generated_files_refused", refused);
  RecordProperty("generated_matches_demoted", demoted);
}
