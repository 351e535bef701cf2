#include "app/export_edit_payload_stretches.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace marlune {

namespace {

constexpr double kMinStretchMs = 100;

bool isNumber(const Json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_number() && std::isfinite(it->get<double>());
}

Json number(double v) {
    if (v == std::trunc(v) && std::fabs(v) < 9.0e15) return Json(static_cast<std::int64_t>(v));
    return Json(v);
}

}  // namespace

Json settleStretches(const Json* list, std::int64_t durationMs, bool speed) {
    const double duration = static_cast<double>(std::max<std::int64_t>(durationMs, 0));
    struct Stretch {
        double start, end, rate;
    };
    std::vector<Stretch> usable;
    if (list && list->is_array()) {
        for (const Json& s : *list) {
            if (!s.is_object() || !isNumber(s, "startMs") || !isNumber(s, "endMs")) continue;
            const double a =
                std::clamp(std::floor(s["startMs"].get<double>() + 0.5), 0.0, duration);
            const double b = std::clamp(std::floor(s["endMs"].get<double>() + 0.5), 0.0, duration);
            const double rate =
                isNumber(s, "rate") ? std::clamp(s["rate"].get<double>(), 1.25, 8.0) : 2;
            if (b - a >= kMinStretchMs) usable.push_back({a, b, rate});
        }
    }
    std::stable_sort(usable.begin(), usable.end(),
                     [](const Stretch& x, const Stretch& y) { return x.start < y.start; });
    Json out = Json::array();
    double lastEnd = -1;
    for (const Stretch& s : usable) {
        if (s.start < lastEnd) continue;
        lastEnd = s.end;
        Json e{{"startMs", number(s.start)}, {"endMs", number(s.end)}};
        if (speed) e["rate"] = number(s.rate);
        out.push_back(std::move(e));
    }
    return out;
}

std::string stretchesProblem(const Json& list, std::string_view key) {
    const bool speed = key == "speeds";
    const std::string what = "“" + std::string(key) +
                             "” must be an array of objects with the numbers “startMs”, “endMs”" +
                             (speed ? " and “rate” (1.25 to 8)" : "");
    if (!list.is_array()) return what;
    for (const Json& s : list) {
        if (!s.is_object() || !isNumber(s, "startMs") || !isNumber(s, "endMs") ||
            (speed && !isNumber(s, "rate"))) {
            return what;
        }
    }
    return {};
}

}  // namespace marlune
