#include "app/export_edit_payload_keys.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

namespace marlune {

namespace {

constexpr std::array<std::string_view, 6> kPlaces{"bottom-center", "bottom-left", "bottom-right",
                                                  "top-center",    "top-left",    "top-right"};

const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

bool isFiniteNumber(const Json* v) {
    return v && v->is_number() && std::isfinite(v->get<double>());
}

}  // namespace

Json recordedKeystrokes(const Json& project) {
    Json out = Json::array();
    const Json* keys = member(project, "keys");
    if (!keys || !keys->is_array()) return out;
    for (const Json& k : *keys) {
        if (k.is_array() && k.size() >= 2 && isFiniteNumber(&k[0]) && k[1].is_string()) {
            out.push_back(Json::array({k[0], k[1]}));
        }
    }
    return out;
}

Json savedKeysSection(const Json* stored, const Json& project) {
    const Json* raw = stored ? member(*stored, "keys") : nullptr;
    if (!raw || !raw->is_object()) return nullptr;
    const Json* enabled = member(*raw, "enabled");
    if (!enabled || *enabled != true) return nullptr;
    Json events = recordedKeystrokes(project);
    if (events.empty()) return nullptr;
    Json section = Json::object();
    section["enabled"] = true;
    const Json* position = member(*raw, "position");
    const bool knownPlace =
        position && position->is_string() &&
        std::find(kPlaces.begin(), kPlaces.end(), position->get<std::string>()) != kPlaces.end();
    section["position"] = knownPlace ? *position : Json("bottom-center");
    const Json* size = member(*raw, "size");
    const double v = isFiniteNumber(size) ? std::clamp(size->get<double>(), 0.5, 2.0) : 1.0;
    // Whole values as JSON integers, as the page's JSON.stringify writes them.
    section["size"] = v == std::trunc(v) ? Json(static_cast<int>(v)) : Json(v);
    const Json* style = member(*raw, "style");
    section["style"] = style && *style == "light" ? "light" : "dark";
    section["events"] = std::move(events);
    return section;
}

Result<void> completeKeysSection(Json& payload, const Json& file, const Json& project,
                                 std::vector<std::string>& notes) {
    const Json* keys = member(file, "keys");
    if (!keys) return {};
    if (!keys->is_object()) return fail("“keys” must be an object");
    Json filled = *keys;
    if (!member(filled, "enabled")) filled["enabled"] = true;
    if (filled["enabled"] == true && !member(filled, "events")) {
        filled["events"] = recordedKeystrokes(project);
        if (filled["events"].empty()) {
            notes.push_back("no keystrokes were recorded with this recording: none are shown");
        }
    }
    payload["keys"] = std::move(filled);
    return {};
}

}  // namespace marlune
