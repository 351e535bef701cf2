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

}  // namespace
}  // namespace marlune
