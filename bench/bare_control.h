// The platform calls a server export makes, written out directly: COM
// initialisation, creating and hosting the control, the puts, the lines, the
// read-back and the teardown, with no error handling beyond what it needs to run.
#pragma once

#include <string>
#include <vector>

namespace ulvane::bench {

// Returns P1's text when read_p1 is set.
std::string bare_control_session(const std::string& host, const std::string& port,
                                 const std::string& name_space, const std::vector<std::string>& lines,
                                 bool read_p1);

}  // namespace ulvane::bench
