// An error answer of the stand-in server: its text goes back to the client as is.
#pragma once

#include <stdexcept>
#include <string>

namespace standin {

class ServerError : public std::runtime_error {
public:
  explicit ServerError(const std::string& text) : std::runtime_error(text) {}
};

// The errors a client may match on.
inline constexpr const char* kSyntax = "<SYNTAX>";
inline constexpr const char* kNamespace = "<NAMESPACE>";
inline constexpr const char* kDivide = "<DIVIDE>";
// An expression nested deeper than the interpreter follows.
inline constexpr const char* kFrameStack = "<FRAMESTACK>";

}  // namespace standin
