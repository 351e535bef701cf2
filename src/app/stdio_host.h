#pragma once

#include <string>
#include <vector>

namespace marlune {

// The headless bridge host (`marlune --stdio-bridge`): the application object with the page
// replaced by standard input and output. Each input line is one command message; each script the
// bridge evaluates is written as one output line, exactly its text, and nothing else goes to
// standard output. At end of input the host waits for every command to be answered, then quits
// through the normal termination path. SIGINT and SIGTERM quit the same way at once. Needs no
// display. Returns the process exit status.
int runStdioBridge(const std::vector<std::string>& args);

}  // namespace marlune
