#include "core/debug_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <mutex>

#include "core/write_fully.h"

namespace marlune {

namespace {

constexpr const char* kDebugLogPath = "/tmp/marlune-debug.log";

}  // namespace

std::string debugLogLine(std::chrono::system_clock::time_point when, std::string_view message) {
    std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S +0000 ", &utc);
    std::string line(stamp);
    line.append(message);
    line.push_back('\n');
    return line;
}

void marluneDebugLog(std::string_view message) {
    static std::mutex mutex;
    std::string line = debugLogLine(std::chrono::system_clock::now(), message);
    std::lock_guard lock(mutex);
    int fd = ::open(kDebugLogPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    writeFully(fd, line);
    ::close(fd);
}

void systemLog(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    // One write call per line keeps lines from different threads whole.
    writeFully(STDERR_FILENO, text);
}

}  // namespace marlune
