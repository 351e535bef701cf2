// The source picker's commands through `marlune --stdio-bridge` on the desktop (without a display:
// headless_host_test.cpp).

#include <gtest/gtest.h>

#include "integration/child_commands.h"

namespace marlune {
namespace {

using namespace test;

TEST(SourcesCommands, ListAndPreviewOnTheDesktop) {
    TempDir home;
    BridgeProcess p({.home = home.path(), .keepDisplay = true});
    Json list = resultOf(p.request("1", "sources.list"));
    ASSERT_TRUE(list["screens"].is_array() && list["windows"].is_array()) << list;
    ASSERT_FALSE(list["screens"].empty());
    const Json& screen = list["screens"][0];
    EXPECT_EQ(screen["kind"], "display");
    EXPECT_TRUE(screen["thumb"].get<std::string>().starts_with("data:image/jpeg;base64,"));

    // {payload, the reply}: a thumb (a picture), none (a missing source is no error) or a failure.
    const std::pair<Json, const char*> cases[] = {
        {{{"sourceKind", "display"}, {"sourceID", screen["id"]}}, "picture"},
        {Json::parse(R"({"sourceKind":"window","sourceID":12345})"), "none"},
        {Json::parse(R"({"sourceKind":"display","sourceID":4000000000})"), "none"},
        {Json::parse(R"({"sourceID":1})"), "failure"},
        {Json::parse(R"({"sourceKind":"display"})"), "failure"},
        {Json::parse(R"({"sourceKind":"display","sourceID":"1"})"), "failure"},
        {Json::parse(R"({"sourceKind":"display","sourceID":-1})"), "failure"},
        {nullptr, "failure"},
    };
    int n = 2;
    for (const auto& [payload, expected] : cases) {
        SCOPED_TRACE(payload.dump());
        auto reply = p.request(std::to_string(n++), "sources.preview", payload);
        if (std::string_view(expected) == "failure") {
            EXPECT_EQ(errorOf(reply), "Missing source for preview");
            continue;
        }
        const Json thumb = resultOf(reply)["thumb"];
        if (std::string_view(expected) == "picture") {
            EXPECT_TRUE(thumb.get<std::string>().starts_with("data:image/jpeg;base64,"));
        } else {
            EXPECT_TRUE(thumb.is_null()) << thumb;
        }
    }
    EXPECT_EQ(p.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
