#pragma once

// Helpers for the tests that drive a real X display with xdotool and small GTK programs.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/desktop/x11_monitors.h"
#include "support/child_process.h"

namespace marlune::test {

inline std::filesystem::path recordingData(const std::string& name) {
    return std::filesystem::path(MARLUNE_RECORDING_TEST_DATA) / name;
}

// Runs a shell command line (xdotool, xrandr …) and tells whether it succeeded.
inline bool sh(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// An X server of its own with the given screen size, $DISPLAY while the object lives.
class PrivateDisplay {
  public:
    explicit PrivateDisplay(const std::string& screen)
        : server_(
              {"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-noreset", "-nolisten", "tcp"}) {
        if (const char* d = std::getenv("DISPLAY")) previous_ = d;
        if (auto number = server_.readLine(std::chrono::seconds(10)); number && !number->empty()) {
            display_ = ":" + *number;
            setenv("DISPLAY", display_.c_str(), 1);
        }
    }
    ~PrivateDisplay() {
        if (previous_) setenv("DISPLAY", previous_->c_str(), 1);
    }

    bool ready() const { return !display_.empty(); }

  private:
    Child server_;
    std::string display_;
    std::optional<std::string> previous_;
};

// The monitor RandR calls `name`, or the primary one for "".
inline std::optional<x11::Monitor> monitorNamed(const std::string& name) {
    auto monitors = x11::listMonitors();
    if (!monitors) return std::nullopt;
    for (const auto& m : *monitors) {
        if (name.empty() ? m.primary : m.name == name) return m;
    }
    return name.empty() && !monitors->empty() ? std::optional(monitors->front()) : std::nullopt;
}

}  // namespace marlune::test
