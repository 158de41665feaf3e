// One client connection's view of the server: its namespace, its P1, and the
// interpreter for the lines it sends.
#pragma once

#include <string>
#include <vector>

#include "common/wire.h"
#include "expression.h"
#include "journal.h"
#include "store.h"

namespace standin {

struct ServerSetup {
  std::vector<std::string> namespaces;  // the first is where every connection starts
  RoutineStore* store;
  Journal* journal;
  std::string drop_on;  // a line of code holding this text makes the server hang up; empty: never
};

class Session {
public:
  explicit Session(const ServerSetup& setup);

  // Journals and runs one line of code. A line the server cannot run is an error answer.
  Answer run(const std::string& line);
  // Journals a line without running it.
  void journal(const std::string& line);
  // Selects the namespace later lines run in (not a line of code, so not journalled).
  Answer select_namespace(const std::string& name);

private:
  void run_command(const std::string& line);
  void switch_to(const std::string& name);
  void load_routine(std::string_view arguments);
  Answer answer(bool ok, const std::string& error) const;

  const ServerSetup& setup_;
  std::string name_space_;
  bool p1_defined_ = false;
  Value p1_;
};

}  // namespace standin
