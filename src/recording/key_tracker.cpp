#include "recording/key_tracker.h"

#include <array>
#include <cctype>
#include <utility>

#include "core/debug_log.h"
#include "core/queue.h"
#include "platform/desktop/x11_keys.h"
#include "recording/wayland_capture.h"

namespace marlune {

namespace {

// Keysym names shown otherwise.
constexpr std::array<std::pair<std::string_view, std::string_view>, 28> kShownAs{{
    {"Return", "Enter"},
    {"KP_Enter", "Enter"},
    {"Escape", "Esc"},
    {"ISO_Left_Tab", "Tab"},
    {"BackSpace", "Backspace"},
    {"KP_Delete", "Delete"},
    {"KP_Left", "Left"},
    {"KP_Right", "Right"},
    {"KP_Up", "Up"},
    {"KP_Down", "Down"},
    {"Prior", "PageUp"},
    {"Next", "PageDown"},
    {"space", "Space"},
    {"minus", "-"},
    {"equal", "="},
    {"comma", ","},
    {"period", "."},
    {"slash", "/"},
    {"backslash", "\\"},
    {"semicolon", ";"},
    {"apostrophe", "'"},
    {"grave", "`"},
    {"bracketleft", "["},
    {"bracketright", "]"},
    {"plus", "+"},
    {"asterisk", "*"},
    {"Print", "PrintScreen"},
    {"Insert", "Insert"},
}};

// Kept without Ctrl, Alt or Super: keys that do something rather than type something.
bool isCommandKey(std::string_view shown) {
    static constexpr std::array<std::string_view, 9> names{
        "Enter", "Esc", "Tab", "Backspace", "Delete", "Left", "Right", "Up", "Down"};
    for (auto n : names) {
        if (shown == n) return true;
    }
    if (shown.size() >= 2 && shown.size() <= 3 && shown[0] == 'F') {
        int n = 0;
        for (char c : shown.substr(1)) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            n = n * 10 + (c - '0');
        }
        return n >= 1 && n <= 12;
    }
    return false;
}

std::string shownName(std::string_view key) {
    for (const auto& [from, to] : kShownAs) {
        if (key == from) return std::string(to);
    }
    if (key.size() == 1) {
        return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(key[0]))));
    }
    return std::string(key);
}

}  // namespace

std::optional<std::string> keystrokeLabel(std::string_view key, unsigned modifiers,
                                          bool recordAll) {
    if (key.empty()) return std::nullopt;
    const std::string shown = shownName(key);
    const bool combination = modifiers & (x11::kModCtrl | x11::kModAlt | x11::kModSuper);
    if (!recordAll && !combination && !isCommandKey(shown)) return std::nullopt;
    std::string label;
    for (auto [bit, name] :
         {std::pair{x11::kModCtrl, "Ctrl+"}, std::pair{x11::kModAlt, "Alt+"},
          std::pair{x11::kModShift, "Shift+"}, std::pair{x11::kModSuper, "Super+"}}) {
        if (modifiers & bit) label += name;
    }
    return label + shown;
}

KeyTracker::KeyTracker() = default;

KeyTracker::~KeyTracker() {
    if (watch_) watch_->stopWatching();
}

void KeyTracker::start(bool recordAll, Clock elapsed) {
    MARLUNE_ASSERT_ON(Queue::main());
    stop();
    keys.clear();
    missing_.reset();
    recordAll_ = recordAll;
    elapsed_ = std::move(elapsed);
    if (captureBackend() == CaptureBackend::portal) {
        missing_ = kWaylandReason;
        return;
    }
    if (!watchTried_) {
        watchTried_ = true;
        if (auto opened = x11::KeyWatch::open()) {
            watch_ = std::move(*opened);
        } else {
            systemLog("Marlune: keystrokes are not recorded: " + opened.error().message);
        }
    }
    if (watch_) {
        watch_->watch(Queue::main(),
                      [this](const x11::PressedKey& press) { record(press.key, press.modifiers); });
    }
}

void KeyTracker::stop() {
    MARLUNE_ASSERT_ON(Queue::main());
    if (watch_) watch_->stopWatching();
    elapsed_ = nullptr;
}

void KeyTracker::record(std::string_view key, unsigned modifiers) {
    if (!elapsed_) return;
    auto t = elapsed_();
    if (!t) return;
    if (auto label = keystrokeLabel(key, modifiers, recordAll_)) {
        keys.push_back({*t, std::move(*label)});
    }
}

Json KeyTracker::asJSON(std::size_t from) const {
    Json out = Json::array();
    for (std::size_t i = from; i < keys.size(); ++i) {
        out.push_back(Json::array({keys[i].tMs, keys[i].label}));
    }
    return out;
}

}  // namespace marlune
