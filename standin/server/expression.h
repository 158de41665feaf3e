// The expressions of "S P1=expr": string literals, numbers, "_", "+ - * /" and
// "< > =" strictly left to right, parentheses, $ZVERSION, $NAMESPACE and
// $DATA(^ROUTINE(name)).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "common/wire.h"

namespace standin {

// A value as the server language knows it: a string, or a number that prints canonically.
struct Value {
  bool numeric = false;
  double number = 0;
  std::string text;

  double as_number() const;
  std::string as_text() const;
  // How the value travels to the client: integers that fit 32 bits apart from other numbers.
  ValueKind kind() const;
};

inline constexpr const char* kVersionText = "Ulvane stand-in server 1.0";

struct EvaluationContext {
  std::string name_space;
  std::function<bool(const std::string& routine)> routine_exists;
};

// Throws ServerError for anything it does not understand.
Value evaluate(std::string_view expression, const EvaluationContext& context);

// A string literal starting at text[pos] ("" stands for one quote); pos ends past it.
std::string read_string_literal(std::string_view text, size_t& pos);

}  // namespace standin
