#include "library/keystroke_fx.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

namespace marlune {

namespace {

constexpr std::array<std::string_view, 6> kPositions{"bottom-center", "bottom-left", "bottom-right",
                                                     "top-center",    "top-left",    "top-right"};

}  // namespace

std::optional<KeystrokeFX> KeystrokeFX::fromDict(const Json& dict) {
    if (!dict.is_object()) return std::nullopt;
    auto enabled = dict.find("enabled");
    if (enabled == dict.end() || !enabled->is_boolean() || !enabled->get<bool>()) {
        return std::nullopt;
    }
    KeystrokeFX fx;
    if (auto events = dict.find("events"); events != dict.end() && events->is_array()) {
        for (const Json& e : *events) {
            if (!e.is_array() || e.size() < 2 || !e[0].is_number() || !e[1].is_string()) continue;
            const double t = e[0].get<double>();
            std::string label = e[1].get<std::string>();
            if (!std::isfinite(t) || label.empty()) continue;
            if (label.size() > kMaxLabel) {
                // Never in the middle of a UTF-8 sequence.
                std::size_t cut = kMaxLabel;
                while (cut > 0 && (static_cast<unsigned char>(label[cut]) & 0xC0) == 0x80) --cut;
                label.resize(cut);
            }
            fx.events.push_back({t, std::move(label)});
        }
        std::stable_sort(fx.events.begin(), fx.events.end(),
                         [](const Keystroke& a, const Keystroke& b) { return a.t < b.t; });
    }
    if (auto p = dict.find("position"); p != dict.end() && p->is_string()) {
        const auto name = p->get<std::string>();
        if (std::find(kPositions.begin(), kPositions.end(), name) != kPositions.end()) {
            fx.position = name;
        }
    }
    if (auto s = dict.find("size"); s != dict.end() && s->is_number()) {
        const double v = s->get<double>();
        if (std::isfinite(v)) fx.size = std::clamp(v, 0.5, 2.0);
    }
    if (auto s = dict.find("style"); s != dict.end() && s->is_string() && *s == "light") {
        fx.style = "light";
    }
    return fx;
}

std::optional<KeystrokeFX::Shown> KeystrokeFX::shownAt(double ms) const {
    auto after = std::upper_bound(events.begin(), events.end(), ms,
                                  [](double t, const Keystroke& k) { return t < k.t; });
    if (after == events.begin()) return std::nullopt;
    const Keystroke& k = *std::prev(after);
    const double age = ms - k.t;
    if (age >= kHoldMs + kFadeMs) return std::nullopt;
    const double alpha = age <= kHoldMs ? 1.0 : 1.0 - (age - kHoldMs) / kFadeMs;
    return Shown{&k, alpha};
}

}  // namespace marlune
