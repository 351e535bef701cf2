#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/error.h"

namespace marlune {

// Every JSON value in the program keeps its keys in insertion order, so replies and stored files
// read in the order the code builds them.
using Json = nlohmann::ordered_json;

// Reading command payloads. A key whose value has the wrong JSON type counts as missing, exactly as
// if it were absent. `payload` may be any JSON value; only objects have keys.
//
// - String: a JSON string.
// - Bool: a JSON boolean (numbers are not booleans here).
// - Int: a JSON number with an integral value that fits in 64 bits; 5 and 5.0 are Int, 5.5 is not.
// - Number: any finite JSON number, read as a double.
std::optional<std::string> readString(const Json& payload, std::string_view key);
std::optional<bool> readBool(const Json& payload, std::string_view key);
std::optional<std::int64_t> readInt(const Json& payload, std::string_view key);
std::optional<double> readNumber(const Json& payload, std::string_view key);
// An identifier the platform hands out (a display or a window): an Int from 0 to 2^32 - 1. Other
// numbers count as missing rather than being wrapped or truncated into some other source's id.
std::optional<std::uint32_t> readUInt32(const Json& payload, std::string_view key);
// Pointers into `payload`; null when missing or not of that type.
const Json* readObject(const Json& payload, std::string_view key);
const Json* readArray(const Json& payload, std::string_view key);

// The same Int rule applied to a value rather than a key.
std::optional<std::int64_t> integralValue(const Json& value);

// True when the value holds only finite numbers, at any depth. Serializing a value that fails
// this would silently turn NaN and infinities into null.
bool allNumbersFinite(const Json& value);

// What kind of value `value` is, as a message says it: "an array", "a string", "a boolean",
// "a number", "null" or "an object".
std::string jsonKind(const Json& value);

// Arrays and objects nested deeper than this are refused wherever JSON enters the program: no real
// message, project or pack comes near it, and everything that walks a value (copies, checks,
// serialization) recurses once per level.
inline constexpr int kMaxJsonDepth = 256;

// Reads JSON text that comes from outside the program: bridge messages, project files, cursor
// packs, the settings file. A pure function of its input, safe on any bytes.
//
// Refused, with a message saying why: text nested deeper than kMaxJsonDepth (checked before
// anything is built; ErrorCode::tooDeep), and text that is not JSON. Read leniently, as the
// page's own JSON.stringify writes them: an escaped lone surrogate ("\ud800" without its partner)
// reads as U+FFFD, and a number too large for a double (1e999) reads as null, so a value never
// holds a non-finite number.
Result<Json> parseJson(std::string_view text);

// The "id" of a command message that parseJson refused: the string value of the top-level object's
// "id" member, when the text gets that far before it breaks. Nothing otherwise.
std::optional<std::string> salvageMessageId(std::string_view text);

// Compact serialization that fails (returns nothing) instead of producing text that would not
// survive a round trip: non-finite numbers or strings that are not valid UTF-8.
std::optional<std::string> serializeStrict(const Json& value);

}  // namespace marlune
