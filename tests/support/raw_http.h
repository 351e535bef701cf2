#pragma once

#include <string>

namespace marlune::test {

// `request` sent as it is to 127.0.0.1:`port` on a fresh connection; all that comes back until the
// server closes it (nothing when nobody listens, what came when 30 seconds pass in silence).
std::string rawExchange(int port, const std::string& request);

}  // namespace marlune::test
