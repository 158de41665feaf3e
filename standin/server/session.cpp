#include "session.h"

#include <cctype>

#include "server_error.h"

namespace standin {
namespace {

constexpr std::string_view kLoadMiddle = " O F U F ZL  ZS ";
constexpr std::string_view kLoadEnd = " C F";

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// The command word (case as the user likes) and what follows its one blank.
bool command_is(std::string_view line, std::string_view word, std::string_view& arguments) {
  if (line.size() <= word.size() || line[word.size()] != ' ' || !same_name(line.substr(0, word.size()), word))
    return false;
  arguments = line.substr(word.size() + 1);
  return true;
}

}  // namespace

Session::Session(const ServerSetup& setup) : setup_(setup), name_space_(setup.namespaces.front()) {}

Answer Session::run(const std::string& line) {
  journal(line);
  try {
    run_command(line);
    return answer(true, "");
  } catch (const ServerError& error) {
    return answer(false, error.what());
  }
}

void Session::journal(const std::string& line) {
  setup_.journal->append(name_space_, line);
}

Answer Session::select_namespace(const std::string& name) {
  try {
    switch_to(name);
    return answer(true, "");
  } catch (const ServerError& error) {
    return answer(false, error.what());
  }
}

void Session::run_command(const std::string& line) {
  std::string_view arguments;
  if (command_is(line, "ZN", arguments)) {
    size_t pos = 0;
    std::string name = read_string_literal(arguments, pos);
    if (pos != arguments.size()) throw ServerError(kSyntax);
    switch_to(name);
  } else if (command_is(line, "S", arguments) && arguments.substr(0, 3) == "P1=") {
    EvaluationContext context{name_space_, [this](const std::string& routine) {
                                return setup_.store->exists(name_space_, routine);
                              }};
    p1_ = evaluate(arguments.substr(3), context);
    p1_defined_ = true;
  } else if (command_is(line, "S", arguments) && arguments.substr(0, 2) == "F=") {
    load_routine(arguments.substr(2));
  } else {
    throw ServerError(kSyntax);
  }
}

void Session::switch_to(const std::string& name) {
  for (const std::string& known : setup_.namespaces) {
    if (same_name(known, name)) {
      name_space_ = known;
      return;
    }
  }
  throw ServerError(kNamespace);
}

// S F="path" O F U F ZL  ZS name C F: the one device dance the server understands.
void Session::load_routine(std::string_view arguments) {
  size_t pos = 0;
  std::string path = read_string_literal(arguments, pos);
  std::string_view rest = arguments.substr(pos);
  if (rest.substr(0, kLoadMiddle.size()) != kLoadMiddle) throw ServerError(kSyntax);
  rest.remove_prefix(kLoadMiddle.size());
  if (rest.size() < kLoadEnd.size() || rest.substr(rest.size() - kLoadEnd.size()) != kLoadEnd)
    throw ServerError(kSyntax);
  std::string routine(rest.substr(0, rest.size() - kLoadEnd.size()));
  if (routine.empty()) throw ServerError("no routine name to save under (ZS needs a name)");
  if (!valid_routine_name(routine)) {
    std::string text = "invalid routine name \"";
    throw ServerError(text.append(routine).append("\""));
  }
  setup_.store->save(name_space_, routine, read_routine_file(path));
}

Answer Session::answer(bool ok, const std::string& error) const {
  if (!p1_defined_) return Answer{ok, error, ValueKind::Undefined, ""};
  return Answer{ok, error, p1_.kind(), p1_.as_text()};
}

}  // namespace standin
