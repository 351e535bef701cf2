#include "core/json.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace marlune {
namespace {

TEST(PayloadReaders, WrongTypesCountAsMissing) {
    const Json p = Json::parse(R"({
        "int": 5, "intFloat": 5.0, "frac": 5.5, "neg": -3, "str": "5", "bool": true,
        "null": null, "huge": 1e20, "maxU": 18446744073709551615, "obj": {"a": 1}, "arr": [1]
    })");
    struct Case {
        const char* key;
        std::optional<std::int64_t> asInt;
        std::optional<double> asNumber;
        std::optional<bool> asBool;
        std::optional<std::string> asString;
    };
    const Case cases[] = {
        {"int", 5, 5.0, {}, {}},
        {"intFloat", 5, 5.0, {}, {}},
        {"frac", {}, 5.5, {}, {}},
        {"neg", -3, -3.0, {}, {}},
        {"str", {}, {}, {}, "5"},
        {"bool", {}, {}, true, {}},
        {"null", {}, {}, {}, {}},
        {"huge", {}, 1e20, {}, {}},
        {"maxU", {}, 18446744073709551615.0, {}, {}},
        {"obj", {}, {}, {}, {}},
        {"arr", {}, {}, {}, {}},
        {"absent", {}, {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(readInt(p, c.key), c.asInt);
        EXPECT_EQ(readNumber(p, c.key), c.asNumber);
        EXPECT_EQ(readBool(p, c.key), c.asBool);
        EXPECT_EQ(readString(p, c.key), c.asString);
    }
    EXPECT_NE(readObject(p, "obj"), nullptr);
    EXPECT_EQ(readObject(p, "arr"), nullptr);
    EXPECT_NE(readArray(p, "arr"), nullptr);
    EXPECT_EQ(readArray(p, "obj"), nullptr);
}

TEST(PayloadReaders, NonObjectPayloadHasNoKeys) {
    for (const Json& p : {Json(nullptr), Json::array({1, 2}), Json("fps"), Json(3)}) {
        EXPECT_EQ(readInt(p, "fps"), std::nullopt);
        EXPECT_EQ(readString(p, "fps"), std::nullopt);
        EXPECT_EQ(readObject(p, "fps"), nullptr);
    }
}

TEST(PayloadReaders, IntegralRangeEdges) {
    EXPECT_EQ(integralValue(Json(-9223372036854775808.0)), INT64_MIN);
    EXPECT_EQ(integralValue(Json(9223372036854775808.0)), std::nullopt);
    EXPECT_EQ(integralValue(Json(std::numeric_limits<std::uint64_t>::max())), std::nullopt);
    EXPECT_EQ(integralValue(Json(-0.0)), 0);
}

TEST(PayloadReaders, IdentifiersAreWholeUnsigned32BitNumbers) {
    struct Case {
        Json value;
        std::optional<std::uint32_t> id;
    };
    const Case cases[] = {
        {Json(0), 0u},
        {Json(4294967295.0), 4294967295u},
        {Json(4294967296.0), std::nullopt},  // would wrap to 0
        {Json(-1), std::nullopt},            // would wrap to the largest id
        {Json(7.5), std::nullopt},           // would truncate to another source's id
        {Json("7"), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.dump());
        EXPECT_EQ(readUInt32(Json{{"id", c.value}}, "id"), c.id);
    }
}

TEST(SerializeStrict, RefusesWhatWouldNotRoundTrip) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        Json value;
        bool ok;
    };
    const Case cases[] = {
        {"plain", Json{{"a", 1}, {"b", "x"}}, true},
        {"nan at top", Json{{"v", nan}}, false},
        {"infinity deep", Json{{"a", Json::array({1, Json{{"b", -inf}}})}}, false},
        {"bad utf-8 value", Json{{"s", std::string("\xff\xfe")}}, false},
        {"bad utf-8 key", Json{{std::string("k\xc3"), 1}}, false},
        {"good utf-8", Json{{"s", "caf\xc3\xa9 \xf0\x9f\x8e\xac"}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(serializeStrict(c.value).has_value(), c.ok);
    }
}

TEST(SerializeStrict, CompactAndInInsertionOrder) {
    Json v = Json::object();
    v["z"] = 1;
    v["a"] = Json::array({true, nullptr, 2.5});
    v["m"] = Json::object();
    EXPECT_EQ(serializeStrict(v), R"({"z":1,"a":[true,null,2.5],"m":{}})");
}

std::string nested(int depth, std::string_view inner = "") {
    return std::string(static_cast<std::size_t>(depth), '[') + std::string(inner) +
           std::string(static_cast<std::size_t>(depth), ']');
}

TEST(ParseJson, RefusesDeepNestingBeforeBuildingAnything) {
    const std::string deepestAllowed = nested(kMaxJsonDepth);
    auto ok = parseJson(deepestAllowed);
    ASSERT_TRUE(ok) << ok.error().message;
    EXPECT_EQ(ok->dump(), deepestAllowed);

    struct Case {
        const char* what;
        std::string text;
    };
    const Case refused[] = {
        {"one level too deep", nested(kMaxJsonDepth + 1)},
        {"objects count too", std::string(300, '{')},
        {"a hundred thousand levels", std::string(100'000, '[')},
        {"deep inside a message",
         R"({"id":"1","cmd":"x","payload":{"a":)" + nested(100'000) + "}}"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.what);
        auto r = parseJson(c.text);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), jsonTooDeepError());
        EXPECT_EQ(r.error().message, "The JSON is nested more than 256 levels deep.");
    }
    // Brackets inside strings are text, however many.
    auto text = parseJson("[\"" + std::string(1000, '[') + "\"]");
    ASSERT_TRUE(text) << text.error().message;
    EXPECT_EQ((*text)[0], std::string(1000, '['));
}

TEST(ParseJson, ReadsWhatBrowsersWriteLeniently) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        const char* what;
        std::string text;
        Json value;
    };
    const Case cases[] = {
        {"lone high surrogate", R"(["a\ud800b"])", Json::array({"a" + fffd + "b"})},
        {"lone low surrogate", R"(["\uDC00"])", Json::array({fffd})},
        {"high then high", R"(["\ud800\ud800\udc00"])", Json::array({fffd + "\xF0\x90\x80\x80"})},
        {"high at the end", R"(["x\ud83d"])", Json::array({"x" + fffd})},
        {"proper pair", R"(["\ud83d\ude00"])", Json::array({"\xF0\x9F\x98\x80"})},
        {"an escaped backslash is not an escape", R"(["\\ud800"])", Json::array({"\\ud800"})},
        {"too large", R"({"a":1e999,"b":-1E+400,"c":2})",
         Json{{"a", nullptr}, {"b", nullptr}, {"c", 2}}},
        {"four hundred digits", "[" + std::string(400, '9') + "]", Json::array({nullptr})},
        {"too small is zero", "[1e-999]", Json::array({0.0})},
        {"numbers in strings stay", R"(["1e999"])", Json::array({"1e999"})},
        {"large but finite", "[1e308]", Json::array({1e308})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = parseJson(c.text);
        ASSERT_TRUE(r) << r.error().message;
        EXPECT_EQ(*r, c.value);
        EXPECT_TRUE(allNumbersFinite(*r));
    }
}

TEST(ParseJson, BrokenTextFailsWithAReadableMessage) {
    for (std::string text :
         {std::string("{"), std::string("[1,]"), std::string("tru"), std::string("[\"\xff\"]"),
          std::string("{\"a\":1} x"), std::string("\"\\u12\"")}) {
        SCOPED_TRACE(text);
        auto r = parseJson(text);
        ASSERT_FALSE(r);
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
        {R"({"cmd":"x",)", std::nullopt},
        {R"({"cmd" "x","id":"9"})", std::nullopt},
        {"{\"id\":\"a\xff\"}", std::nullopt},
        {R"(["id","1"])", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, id] : cases) EXPECT_EQ(salvageMessageId(text), id) << text;
}

}  // namespace
}  // namespace marlune
