#include "expression.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "server_error.h"

namespace standin {
namespace {

constexpr double kInt32Min = -2147483648.0;
constexpr double kInt32Max = 2147483647.0;
// How deep parentheses, signs and $DATA's argument may nest before the parser answers
// <FRAMESTACK>: each level is a recursion, and a connection's thread must not run out
// of stack on a hostile line.
constexpr int kMaxNesting = 256;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The numeric reading of a string: its leading signs and digits, the rest ignored ("12ab" is 12, "ab" is 0).
double leading_number(std::string_view text) {
  size_t pos = 0;
  double sign = 1;
  while (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
    sign = text[pos++] == '-' ? -sign : sign;
  size_t start = pos;
  while (pos < text.size() && is_digit(text[pos])) ++pos;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    while (pos < text.size() && is_digit(text[pos])) ++pos;
  }
  std::string digits(text.substr(start, pos - start));
  if (digits.empty() || digits == ".") return 0;
  return sign * std::strtod(digits.c_str(), nullptr);
}

// Numbers print without a leading zero before the point and without trailing zeros.
std::string canonical(double number) {
  if (number == 0) return "0";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", number);
  std::string text = buffer;
  if (text.rfind("0.", 0) == 0) text.erase(0, 1);
  if (text.rfind("-0.", 0) == 0) text.erase(1, 1);
  return text;
}

bool same_word(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return true;
}

Value number(double value) {
  return Value{true, value, {}};
}
Value string(std::string text) {
  return Value{false, 0, std::move(text)};
}

class Parser {
public:
  Parser(std::string_view text, const EvaluationContext& context) : text_(text), context_(context) {}

  Value whole() {
    Value value = expression();
    if (pos_ != text_.size()) throw ServerError(kSyntax);
    return value;
  }

private:
  // One level deeper for as long as it lives.
  class Nested {
  public:
    explicit Nested(int& depth) : depth_(depth) {
      if (++depth_ > kMaxNesting) {
        --depth_;
        throw ServerError(kFrameStack);
      }
    }
    ~Nested() { --depth_; }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;

  private:
    int& depth_;
  };

  Value expression() {
    Value value = operand();
    while (pos_ < text_.size() && std::string_view("_+-*/<>=").find(text_[pos_]) != std::string_view::npos) {
      char op = text_[pos_++];
      value = apply(op, value, operand());
    }
    return value;
  }

  static Value apply(char op, const Value& left, const Value& right) {
    if (op == '_') return string(left.as_text() + right.as_text());
    if (op == '=') return number(left.as_text() == right.as_text() ? 1 : 0);
    double a = left.as_number();
    double b = right.as_number();
    switch (op) {
      case '+':
        return number(a + b);
      case '-':
        return number(a - b);
      case '*':
        return number(a * b);
      case '<':
        return number(a < b ? 1 : 0);
      case '>':
        return number(a > b ? 1 : 0);
    }
    if (b == 0) throw ServerError(kDivide);
    return number(a / b);
  }

  Value operand() {
    if (pos_ >= text_.size()) throw ServerError(kSyntax);
    char c = text_[pos_];
    if (c == '"') return string(read_string_literal(text_, pos_));
    if (is_digit(c) || c == '.') return number_literal();
    if (c == '-' || c == '+') {
      ++pos_;
      Nested level(depth_);
      double value = operand().as_number();
      return number(c == '-' ? -value : value);
    }
    if (c == '(') {
      ++pos_;
      Nested level(depth_);
      Value value = expression();
      expect(')');
      return value;
    }
    if (c == '$') return function();
    throw ServerError(kSyntax);
  }

  Value number_literal() {
    size_t start = pos_;
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    if (pos_ < text_.size() && text_[pos_] == '.') {
      ++pos_;
      while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    }
    if (pos_ - start == 1 && text_[start] == '.') throw ServerError(kSyntax);
    return number(leading_number(text_.substr(start, pos_ - start)));
  }

  Value function() {
    size_t start = ++pos_;
    while (pos_ < text_.size() && std::isalpha(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    std::string_view name = text_.substr(start, pos_ - start);
    if (same_word(name, "ZVERSION") || same_word(name, "ZV")) return string(kVersionText);
    if (same_word(name, "NAMESPACE")) return string(context_.name_space);
    if (same_word(name, "DATA") || same_word(name, "D")) {
      expect('(');
      expect_text("^ROUTINE(");
      Nested level(depth_);
      std::string routine = expression().as_text();
      expect(')');
      expect(')');
      return number(context_.routine_exists(routine) ? 1 : 0);
    }
    throw ServerError(kSyntax);
  }

  void expect(char c) {
    if (pos_ >= text_.size() || text_[pos_] != c) throw ServerError(kSyntax);
    ++pos_;
  }

  void expect_text(std::string_view expected) {
    if (text_.substr(pos_, expected.size()) != expected) throw ServerError(kSyntax);
    pos_ += expected.size();
  }

  std::string_view text_;
  const EvaluationContext& context_;
  size_t pos_ = 0;
  int depth_ = 0;
};

}  // namespace

double Value::as_number() const {
  return numeric ? number : leading_number(text);
}

std::string Value::as_text() const {
  if (!numeric) return text;
  if (kind() == ValueKind::Integer) return std::to_string(static_cast<long>(number));
  return canonical(number);
}

ValueKind Value::kind() const {
  if (!numeric) return ValueKind::String;
  bool whole = std::isfinite(number) && std::trunc(number) == number;
  return whole && number >= kInt32Min && number <= kInt32Max ? ValueKind::Integer : ValueKind::Decimal;
}

Value evaluate(std::string_view expression, const EvaluationContext& context) {
  return Parser(expression, context).whole();
}

std::string read_string_literal(std::string_view text, size_t& pos) {
  if (pos >= text.size() || text[pos] != '"') throw ServerError(kSyntax);
  std::string value;
  for (size_t at = pos + 1; at < text.size(); ++at) {
    if (text[at] != '"') {
      value.push_back(text[at]);
    } else if (at + 1 < text.size() && text[at + 1] == '"') {
      value.push_back('"');
      ++at;
    } else {
      pos = at + 1;
      return value;
    }
  }
  throw ServerError(kSyntax);
}

}  // namespace standin
