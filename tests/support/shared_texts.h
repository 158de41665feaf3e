// Texts several suites share: the entries UpdateCpf writes and the long
// arguments of the bad-input tables.
#pragma once

#include <string>

namespace ulvane::test {

// The values UpdateCpf writes in [Namespaces] and [CSP.Applications].
inline const std::string kNsp = "ULV,CACHELIB,CACHESYS,CACHELIB,CACHESYS,CACHELIB,CACHETEMP";
inline const std::string kApp = "/csp/ulv,ulv,1,1,%ulv.event,900,1,,ULV,0,,/csp/ulv/error.csp,%ulv,,0";

inline const std::string k64K(64 * 1024, 'N');
inline const std::string k1M(1024 * 1024, 'M');

}  // namespace ulvane::test
