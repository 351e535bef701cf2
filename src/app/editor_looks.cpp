#include "app/editor_looks.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace marlune {

namespace {

constexpr std::string_view kDefaultKey = "EditorDefaultLook";
constexpr std::string_view kNamedPrefix = "EditorLook:";

// The name as kept: surrounding spaces dropped; nothing when it is not one.
std::optional<std::string> lookName(const Json& payload) {
    auto name = readString(payload, "name");
    if (!name) return std::nullopt;
    const auto first = name->find_first_not_of(' ');
    if (first == std::string::npos) return std::nullopt;
    std::string trimmed = name->substr(first, name->find_last_not_of(' ') - first + 1);
    if (trimmed.size() > EditorLooks::kMaxNameBytes) return std::nullopt;
    if (std::any_of(trimmed.begin(), trimmed.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
        return std::nullopt;
    }
    return trimmed;
}

// The members of a look that are kept, or nothing for a stored value that is not one.
std::optional<Json> keptLook(const Json& raw) {
    if (!raw.is_object()) return std::nullopt;
    Json look = Json::object();
    for (const char* section : {"frame", "cursor", "webcam"}) {
        if (auto it = raw.find(section); it != raw.end() && it->is_object()) look[section] = *it;
    }
    if (auto it = raw.find("shape"); it != raw.end() && it->is_string()) look["shape"] = *it;
    return look;
}

bool isDefault(const Json& payload) {
    return readBool(payload, "default").value_or(false);
}

}  // namespace

Json EditorLooks::defaultLook(const KeyValueStore& store) {
    auto stored = store.value(kDefaultKey);
    auto look = stored ? keptLook(*stored) : std::nullopt;
    return look ? *look : Json();
}

Json EditorLooks::list() const {
    Json out = Json::object();
    out["defaultLook"] = defaultLook(*store_);
    std::vector<std::pair<std::string, Json>> named;
    for (const std::string& key : store_->keys()) {
        if (!key.starts_with(kNamedPrefix)) continue;
        auto value = store_->value(key);
        if (auto look = value ? keptLook(*value) : std::nullopt) {
            named.emplace_back(key.substr(kNamedPrefix.size()), std::move(*look));
        }
    }
    std::sort(named.begin(), named.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    Json looks = Json::array();
    for (auto& [name, look] : named) looks.push_back(Json{{"name", name}, {"look", look}});
    out["looks"] = std::move(looks);
    return out;
}

Result<void> EditorLooks::save(const Json& payload) {
    const Json* raw = readObject(payload, "look");
    auto look = raw ? keptLook(*raw) : std::nullopt;
    if (!look || look->dump().size() > kMaxLookBytes) {
        return fail("A look holds the edit's frame, cursor, webcam and shape.");
    }
    if (isDefault(payload)) {
        store_->set(kDefaultKey, std::move(*look));
        return {};
    }
    auto name = lookName(payload);
    if (!name) return fail("A look needs a name.");
    store_->set(std::string(kNamedPrefix) + *name, std::move(*look));
    return {};
}

Result<void> EditorLooks::remove(const Json& payload) {
    if (isDefault(payload)) {
        store_->remove(kDefaultKey);
        return {};
    }
    auto name = lookName(payload);
    if (!name) return fail("A look needs a name.");
    store_->remove(std::string(kNamedPrefix) + *name);
    return {};
}

}  // namespace marlune
