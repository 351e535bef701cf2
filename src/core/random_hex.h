#pragma once

#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>

namespace marlune {

// `count` bytes from the system's random source as lowercase hex; nothing when it refuses.
// Blocks until the source is ready (early in boot). Any thread.
inline std::optional<std::string> randomHex(std::size_t count) {
    std::string bytes(count, '\0');
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::getrandom(bytes.data() + got, count - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        got += static_cast<std::size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex;
}

}  // namespace marlune
