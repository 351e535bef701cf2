#include "core/json.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include <glib.h>

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

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The UTF-16 code unit of the escape "\uXXXX" starting at text[at], or -1 when there is none.
int escapedUnit(std::string_view text, std::size_t at) {
    if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
    int unit = 0;
    for (std::size_t k = at + 2; k < at + 6; ++k) {
        int d = hexDigit(text[k]);
        if (d < 0) return -1;
        unit = unit * 16 + d;
    }
    return unit;
}

bool isNumberChar(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// A number token whose value is beyond a double. Without an exponent that takes over 300 digits,
// so only those tokens and ones with an exponent are converted.
bool numberOverflows(std::string_view token) {
    if (token.find_first_of("eE") == std::string_view::npos && token.size() < 300) return false;
    std::string copy(token);
    return std::isinf(std::strtod(copy.c_str(), nullptr));
}

std::unexpected<Error> tooDeep() {
    return fail("The JSON is nested more than " + std::to_string(kMaxJsonDepth) + " levels deep.",
                ErrorCode::tooDeep);
}

// One pass over the text before the parser sees it: refuses nesting deeper than kMaxJsonDepth and
// rewrites what is read leniently (lone surrogate escapes, numbers beyond a double). Returns the
// text to parse: `text` itself when nothing changed, else a view of `storage`.
Result<std::string_view> prepareText(std::string_view text, std::string& storage) {
    std::size_t copied = 0;  // text before this is in storage already
    bool changed = false;
    auto replace = [&](std::size_t from, std::size_t to, std::string_view with) {
        storage.append(text.substr(copied, from - copied));
        storage.append(with);
        copied = to;
        changed = true;
    };
    int depth = 0;
    bool inString = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (inString) {
            if (c == '"') {
                inString = false;
                ++i;
            } else if (c != '\\') {
                ++i;
            } else if (int unit = escapedUnit(text, i); unit >= 0xD800 && unit <= 0xDFFF) {
                int next = escapedUnit(text, i + 6);
                if (unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
                    i += 12;  // a proper pair
                } else {
                    replace(i, i + 6, "\\ufffd");
                    i += 6;
                }
            } else {
                i += unit >= 0 ? 6 : 2;  // other escapes are the parser's to judge
            }
            continue;
        }
        if (c == '"') {
            inString = true;
            ++i;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonDepth) return tooDeep();
            ++i;
        } else if (c == ']' || c == '}') {
            if (depth > 0) --depth;
            ++i;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t end = i;
            while (end < text.size() && isNumberChar(text[end])) ++end;
            if (numberOverflows(text.substr(i, end - i))) replace(i, end, "null");
            i = end;
        } else {
            ++i;
        }
    }
    if (!changed) return text;
    storage.append(text.substr(copied));
    return std::string_view(storage);
}

std::size_t skipSpace(std::string_view text, std::size_t i) {
    while (i < text.size() &&
           (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) {
        ++i;
    }
    return i;
}

// The end of the string token starting at text[i], or nothing.
std::optional<std::size_t> stringEnd(std::string_view text, std::size_t i) {
    if (i >= text.size() || text[i] != '"') return std::nullopt;
    for (++i; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            return i + 1;
        }
    }
    return std::nullopt;
}

// The end of the value starting at text[i], judged only as far as finding where it stops.
std::optional<std::size_t> valueEnd(std::string_view text, std::size_t i) {
    if (i >= text.size()) return std::nullopt;
    if (text[i] == '"') return stringEnd(text, i);
    if (text[i] == '[' || text[i] == '{') {
        std::size_t depth = 0;
        while (i < text.size()) {
            if (text[i] == '"') {
                auto end = stringEnd(text, i);
                if (!end) return std::nullopt;
                i = *end;
                continue;
            }
            if (text[i] == '[' || text[i] == '{') ++depth;
            if ((text[i] == ']' || text[i] == '}') && --depth == 0) return i + 1;
            ++i;
        }
        return std::nullopt;
    }
    while (i < text.size() && text[i] != ',' && text[i] != '}' && text[i] != ']' &&
           skipSpace(text, i) == i) {
        ++i;
    }
    return i;
}

std::optional<std::string> stringToken(std::string_view token) {
    auto value = parseJson(token);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

}  // namespace

Result<Json> parseJson(std::string_view text) {
    std::string storage;
    auto prepared = prepareText(text, storage);
    if (!prepared) return std::unexpected(prepared.error());
    try {
        return Json::parse(prepared->begin(), prepared->end());
    } catch (const Json::exception& e) {
        // "[json.exception.parse_error.101] parse error at line 1, column 2: …"
        std::string what = e.what();
        if (auto close = what.find("] "); what.starts_with("[json.") && close != what.npos) {
            what.erase(0, close + 2);
        }
        // The parser quotes what it last read, which need not be UTF-8; the message must be.
        gchar* valid = g_utf8_make_valid(what.c_str(), static_cast<gssize>(what.size()));
        std::string message = std::string("Invalid JSON: ") + valid;
        g_free(valid);
        return fail(std::move(message));
    }
}

std::optional<std::string> salvageMessageId(std::string_view text) {
    std::size_t i = skipSpace(text, 0);
    if (i >= text.size() || text[i] != '{') return std::nullopt;
    // The top-level members in turn, until "id" turns up or the text stops making sense.
    for (i = skipSpace(text, i + 1);; i = skipSpace(text, i + 1)) {
        auto keyEnd = stringEnd(text, i);
        if (!keyEnd) return std::nullopt;
        auto key = stringToken(text.substr(i, *keyEnd - i));
        i = skipSpace(text, *keyEnd);
        if (i >= text.size() || text[i] != ':') return std::nullopt;
        i = skipSpace(text, i + 1);
        auto end = valueEnd(text, i);
        if (!end) return std::nullopt;
        if (key == "id") return stringToken(text.substr(i, *end - i));
        i = skipSpace(text, *end);
        if (i >= text.size() || text[i] != ',') return std::nullopt;
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

std::string jsonKind(const Json& value) {
    if (value.is_array()) return "an array";
    if (value.is_string()) return "a string";
    if (value.is_boolean()) return "a boolean";
    if (value.is_number()) return "a number";
    if (value.is_null()) return "null";
    return "an object";
}

}  // namespace marlune
