#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace marlune {

// Writes all of `bytes` to `fd`, going on after short writes and interrupted calls. False at the
// first write the system refuses (errno tells why). Any thread.
inline bool writeFully(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The same for a socket, whose peer may be gone: that is a false answer, never SIGPIPE. Blocking
// as the socket is (its send time-out included).
inline bool sendFully(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace marlune
