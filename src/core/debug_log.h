#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace marlune {

// Appends "<UTC date and time> +0000 <message>\n" to /tmp/marlune-debug.log, creating the file
// when needed. Never fails: a log that cannot be written is skipped. Any thread.
void marluneDebugLog(std::string_view message);

// The line marluneDebugLog writes for a message at a given time, line break included.
std::string debugLogLine(std::chrono::system_clock::time_point when, std::string_view message);

// One line for the system log (standard error, which journald keeps). Any thread.
void systemLog(std::string_view line);

}  // namespace marlune
