#pragma once

#include <gio/gio.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <string_view>

// What every client of the desktop portal shares: its bus name and object, the tokens that name
// our Request and Session objects, and GLib's errors as text.
namespace marlune::wayland::portal {

inline constexpr const char* kName = "org.freedesktop.portal.Desktop";
inline constexpr const char* kPath = "/org/freedesktop/portal/desktop";

// Unique per connection, which is all a handle token needs to be; `prefix` tells our clients
// apart in the portal's object paths.
inline std::string newToken(std::string_view prefix) {
    static std::atomic<unsigned> counter{0};
    return std::string(prefix) + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

// The error's message (freeing the error).
inline std::string takeMessage(GError* error) {
    std::string text = error ? error->message : "unknown error";
    g_clear_error(&error);
    return text;
}

}  // namespace marlune::wayland::portal
