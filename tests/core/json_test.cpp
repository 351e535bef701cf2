#include "core/json.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace marlune {
namespace {

TEST(PayloadReaders, WrongTypesCountAsMissing) {
    const Json p = Json::parse(R"({"int": 5, "intFloat": 5.0, "frac": 5.5, "str": "5", "bool": true,
        "null": null, "huge": 1e20, "maxI": 9223372036854775807, "maxU": 18446744073709551615, "obj": {"a": 1}, "arr": [1]})");
    struct Case {
        const char* key;
        std::optional<std::int64_t> asInt;
        std::optional<double> asNumber;
        std::optional<bool> asBool;
        std::optional<std::string> asString;
    };
    const Case cases[] = {{"int", 5, 5.0, {}, {}},
                          {"intFloat", 5, 5.0, {}, {}},
                          {"frac", {}, 5.5, {}, {}},
                          {"str", {}, {}, {}, "5"},
                          {"bool", {}, {}, true, {}},
                          {"null", {}, {}, {}, {}},
                          {"huge", {}, 1e20, {}, {}},
                          {"maxI", INT64_MAX, 9223372036854775807.0, {}, {}},
                          {"maxU", {}, 18446744073709551615.0, {}, {}},
                          {"obj", {}, {}, {}, {}},
                          {"absent", {}, {}, {}, {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(readInt(p, c.key), c.asInt);
        EXPECT_EQ(readNumber(p, c.key), c.asNumber);
        EXPECT_EQ(readBool(p, c.key), c.asBool);
        EXPECT_EQ(readString(p, c.key), c.asString);
    }
    EXPECT_TRUE(readObject(p, "obj") && !readObject(p, "arr"));
    EXPECT_TRUE(readArray(p, "arr") && !readArray(p, "obj"));
    for (const Json& other : {Json(nullptr), Json::array({1, 2}), Json("int"), Json(3)}) {
        EXPECT_EQ(readInt(other, "int"), std::nullopt) << "no keys in a payload that is no object";
    }
    EXPECT_EQ(integralValue(Json(-9223372036854775808.0)), INT64_MIN);
    EXPECT_EQ(integralValue(Json(9223372036854775808.0)), std::nullopt);
    // Identifiers are whole unsigned 32-bit numbers: nothing wraps or truncates into another id.
    const std::pair<Json, std::optional<std::uint32_t>> ids[] = {{Json(4294967295.0), 4294967295u},
                                                                 {Json(4294967296.0), std::nullopt},
                                                                 {Json(-1), std::nullopt},
                                                                 {Json(7.5), std::nullopt}};
    for (const auto& [value, id] : ids)
        EXPECT_EQ(readUInt32(Json{{"id", value}}, "id"), id) << value;
}

TEST(SerializeStrict, RefusesWhatWouldNotRoundTrip) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<Json, bool> cases[] = {
        {Json{{"a", 1}, {"b", "x"}}, true},
        {Json{{"v", nan}}, false},
        {Json{{"a", Json::array({1, Json{{"b", -inf}}})}}, false},
        {Json{{"s", std::string("\xff\xfe")}}, false},
        {Json{{std::string("k\xc3"), 1}}, false},
        {Json{{"s", "caf\xc3\xa9 \xf0\x9f\x8e\xac"}}, true}};
    for (const auto& [value, ok] : cases) EXPECT_EQ(serializeStrict(value).has_value(), ok);
}

std::string nested(int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']');
}

TEST(ParseJson, RefusesDeepNestingBeforeBuildingAnything) {
    const std::string deepestAllowed = nested(kMaxJsonDepth);
    auto ok = parseJson(deepestAllowed);
    ASSERT_TRUE(ok) << ok.error().message;
    EXPECT_EQ(ok->dump(), deepestAllowed);
    for (const std::string& text :
         {nested(kMaxJsonDepth + 1), std::string(300, '{'), std::string(100'000, '['),
          R"({"id":"1","cmd":"x","payload":{"a":)" + nested(100'000) + "}}"}) {
        auto r = parseJson(text);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().code, ErrorCode::tooDeep);
        EXPECT_EQ(r.error().message, "The JSON is nested more than 256 levels deep.");
    }
    // Brackets inside strings are text, however many.
    auto text = parseJson("[\"" + std::string(1000, '[') + "\"]");
    ASSERT_TRUE(text) << text.error().message;
    EXPECT_EQ((*text)[0], std::string(1000, '['));
}

TEST(ParseJson, ReadsWhatBrowsersWriteLeniently) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, Json> cases[] = {
        {R"(["a\ud800b"])", Json::array({"a" + fffd + "b"})},  // lone surrogates
        {R"(["\uDC00"])", Json::array({fffd})},
        {R"(["\ud800\ud800\udc00"])", Json::array({fffd + "\xF0\x90\x80\x80"})},
        {R"(["x\ud83d"])", Json::array({"x" + fffd})},
        {R"(["\ud83d\ude00"])", Json::array({"\xF0\x9F\x98\x80"})},
        {R"(["\\ud800"])", Json::array({"\\ud800"})},  // an escaped backslash is no escape
        {R"({"a":1e999,"b":-1E+400,"c":2})", Json{{"a", nullptr}, {"b", nullptr}, {"c", 2}}},
        {"[" + std::string(400, '9') + "]", Json::array({nullptr})},
        {"[1e-999]", Json::array({0.0})},
        {R"(["1e999"])", Json::array({"1e999"})},
        {"[1e308]", Json::array({1e308})}};
    for (const auto& [text, value] : cases) {
        auto r = parseJson(text);
        ASSERT_TRUE(r) << text << ": " << r.error().message;
        EXPECT_EQ(*r, value) << text;
        EXPECT_TRUE(allNumbersFinite(*r)) << text;
    }
    for (std::string broken : {"{", "[1,]", "tru", "[\"\xff\"]", "{\"a\":1} x", "\"\\u12\""}) {
        auto r = parseJson(broken);
        ASSERT_FALSE(r) << broken;
        EXPECT_TRUE(r.error().message.starts_with("Invalid JSON: ")) << r.error().message;
        // The message travels in a reply, so it must be UTF-8 whatever the input was.
        EXPECT_TRUE(serializeStrict(Json(r.error().message))) << r.error().message;
    }
}

TEST(SalvageMessageId, FindsTheIdOfABrokenCommand) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {R"({"id":"7","cmd":"x","payload":{"a":tru}})", "7"},
        {R"({"cmd":"x","payload":{"s":"}\"{"},"id":"8", "x": nope})", "8"},
        {R"( { "id" : "a\u0062" , )", "ab"},
        {R"({"payload":[1,[2,{"id":"inner"}]],"id":"outer")", "outer"},
        {R"({"id":7,"cmd":"x"})", std::nullopt},
        {R"({"cmd" "x","id":"9"})", std::nullopt},
        {"{\"id\":\"a\xff\"}", std::nullopt},
        {R"(["id","1"])", std::nullopt},
        {"", std::nullopt}};
    for (const auto& [text, id] : cases) EXPECT_EQ(salvageMessageId(text), id) << text;
}

}  // namespace
}  // namespace marlune
