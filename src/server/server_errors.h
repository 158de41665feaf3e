// What the server reported for the lines a call ran, when someone asks: the control's
// Error and ErrorName read after each line. Only the trace asks. A line the server
// refused is no failure of the call (that is the control's to raise), so nothing here
// changes a result.
#pragma once

#include <string>
#include <vector>

namespace ulvane::server {

struct ServerError {
  int line = 0;  // which line of the call, from 1
  long error = 0;
  std::string name;
};

using ServerErrors = std::vector<ServerError>;

}  // namespace ulvane::server
