#include "library/trimmed_project.h"

#include <algorithm>
#include <cmath>

namespace marlune {

namespace {

// A track of [t, …] samples (or {"t": …} objects when `key` is set) shifted onto the copy.
Json shiftedTrack(const Json& track, double startMs, double lengthMs, bool carryEarlier,
                  const char* key) {
    Json out = Json::array();
    if (!track.is_array()) return out;
    auto timeOf = [key](const Json& s) -> std::optional<double> {
        const Json* t = nullptr;
        if (key && s.is_object() && s.contains(key)) t = &s[key];
        if (!key && s.is_array() && !s.empty()) t = &s[0];
        if (!t || !t->is_number()) return std::nullopt;
        return t->get<double>();
    };
    auto retimed = [key](Json s, double t) {
        const double whole = std::round(t);
        if (key) {
            s[key] = static_cast<std::int64_t>(whole);
        } else {
            s[0] = static_cast<std::int64_t>(whole);
        }
        return s;
    };
    std::optional<Json> before;  // the last sample before the start
    for (const Json& s : track) {
        auto t = timeOf(s);
        if (!t) continue;
        const double at = *t - startMs;
        if (at < 0) {
            before = s;
            continue;
        }
        if (at > lengthMs) continue;
        if (before && carryEarlier && at > 0) out.push_back(retimed(*before, 0));
        before.reset();
        out.push_back(retimed(s, at));
    }
    if (before && carryEarlier) out.push_back(retimed(*before, 0));
    return out;
}

}  // namespace

std::optional<MsRange> webcamRange(double offsetMs, std::int64_t startMs, std::int64_t endMs) {
    const auto offset = static_cast<std::int64_t>(std::llround(offsetMs));
    MsRange r{std::max<std::int64_t>(0, startMs - offset), endMs - offset};
    if (r.endMs <= r.startMs) return std::nullopt;
    return r;
}

Json trimmedProject(const Json& project, std::int64_t startMs, std::int64_t endMs) {
    Json out = project.is_object() ? project : Json::object();
    const double start = static_cast<double>(startMs);
    const double length = static_cast<double>(endMs - startMs);
    if (out.contains("clicks"))
        out["clicks"] = shiftedTrack(out["clicks"], start, length, false, "t");
    for (const char* name : {"cursorPath", "caretPath"}) {
        if (out.contains(name)) out[name] = shiftedTrack(out[name], start, length, true, nullptr);
    }
    if (out.contains("webcam") && out["webcam"].is_object()) {
        Json& webcam = out["webcam"];
        const double offset = webcam.contains("offsetMs") && webcam["offsetMs"].is_number()
                                  ? webcam["offsetMs"].get<double>()
                                  : 0.0;
        if (webcamRange(offset, startMs, endMs)) {
            webcam["offsetMs"] = std::max<std::int64_t>(0, std::llround(offset) - startMs);
        } else {
            out.erase("webcam");
        }
    }
    if (out.contains("edit") && out["edit"].is_object()) {
        Json& edit = out["edit"];
        const auto whole = endMs - startMs;
        edit["range"] = Json{{"startMs", 0}, {"endMs", whole}};
        if (edit.contains("zooms") && edit["zooms"].is_array()) {
            Json zooms = Json::array();
            for (Json z : edit["zooms"]) {
                if (!z.is_object() || !z.contains("startMs") || !z.contains("endMs") ||
                    !z["startMs"].is_number() || !z["endMs"].is_number()) {
                    continue;
                }
                const double a = std::clamp(z["startMs"].get<double>() - start, 0.0, length);
                const double b = std::clamp(z["endMs"].get<double>() - start, 0.0, length);
                if (b <= a) continue;
                z["startMs"] = std::llround(a);
                z["endMs"] = std::llround(b);
                zooms.push_back(std::move(z));
            }
            edit["zooms"] = std::move(zooms);
        }
    }
    return out;
}

}  // namespace marlune
