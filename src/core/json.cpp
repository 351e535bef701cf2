#include "core/json.h"

#include <cmath>
#include <limits>

namespace marlune {

namespace {

const Json* member(const Json& payload, std::string_view key) {
    if (!payload.is_object()) return nullptr;
    auto it = payload.find(key);
    return it == payload.end() ? nullptr : &*it;
}

}  // namespace

std::optional<std::string> readString(const Json& payload, std::string_view key) {
    const Json* v = member(payload, key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::optional<bool> readBool(const Json& payload, std::string_view key) {
    const Json* v = member(payload, key);
    if (!v || !v->is_boolean()) return std::nullopt;
    return v->get<bool>();
}

std::optional<std::int64_t> integralValue(const Json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(u);
    }
    if (value.is_number_float()) {
        double d = value.get<double>();
        // 2^63 is exactly representable; anything at or above it does not fit.
        if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 ||
            d >= 9223372036854775808.0) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::optional<std::int64_t> readInt(const Json& payload, std::string_view key) {
    const Json* v = member(payload, key);
    if (!v) return std::nullopt;
    return integralValue(*v);
}

std::optional<double> readNumber(const Json& payload, std::string_view key) {
    const Json* v = member(payload, key);
    if (!v || !v->is_number()) return std::nullopt;
    double d = v->get<double>();
    if (!std::isfinite(d)) return std::nullopt;
    return d;
}

std::optional<std::uint32_t> readUInt32(const Json& payload, std::string_view key) {
    auto v = readInt(payload, key);
    if (!v || *v < 0 || *v > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return static_cast<std::uint32_t>(*v);
}

const Json* readObject(const Json& payload, std::string_view key) {
    const Json* v = member(payload, key);
    return v && v->is_object() ? v : nullptr;
}

const Json* readArray(const Json& payload, std::string_view key) {
    const Json* v = member(payload, key);
    return v && v->is_array() ? v : nullptr;
}

bool allNumbersFinite(const Json& value) {
    switch (value.type()) {
        case Json::value_t::number_float:
            return std::isfinite(value.get<double>());
        case Json::value_t::array:
        case Json::value_t::object:
            for (const auto& child : value) {
                if (!allNumbersFinite(child)) return false;
            }
            return true;
        default:
            return true;
    }
}

std::optional<std::string> serializeStrict(const Json& value) {
    if (!allNumbersFinite(value)) return std::nullopt;
    try {
        return value.dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

}  // namespace marlune
