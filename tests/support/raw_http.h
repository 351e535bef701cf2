#pragma once

#include <string>

namespace marlune::test {

// One HTTP exchange with a server on 127.0.0.1 over a fresh connection: `request` is sent as it is
// and everything the server sends until it closes comes back (nothing when nobody listens). Gives
// up after 30 seconds of silence.
std::string rawExchange(int port, const std::string& request);

}  // namespace marlune::test
