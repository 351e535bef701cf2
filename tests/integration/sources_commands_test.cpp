// The source picker's commands through `marlune --stdio-bridge` on the desktop: reply shapes and
// failures (without a display: headless_shell_test.cpp).

#include <gtest/gtest.h>

#include "support/bridge_process.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace test;

TEST(SourcesCommands, ListAndPreviewOnTheDesktop) {
    TempDir home;
    BridgeProcess p({.home = home.path(), .keepDisplay = true});
    auto list = p.request("1", "sources.list");
    ASSERT_TRUE(list);
    ASSERT_EQ((*list)["ok"], true) << list->dump();
    const Json& result = (*list)["result"];
    ASSERT_TRUE(result["screens"].is_array());
    ASSERT_TRUE(result["windows"].is_array());
    ASSERT_FALSE(result["screens"].empty());
    const Json& screen = result["screens"][0];
    EXPECT_EQ(screen["kind"], "display");
    EXPECT_TRUE(screen["thumb"].get<std::string>().starts_with("data:image/jpeg;base64,"));

    struct Case {
        const char* what;
        Json payload;
        const char* error;  // nullptr: a reply with "thumb"
        bool hasThumb;
    };
    const char* missing = "Missing source for preview";
    const Case cases[] = {
        {"a display", {{"sourceKind", "display"}, {"sourceID", screen["id"]}}, nullptr, true},
        {"a window that is not there", Json::parse(R"({"sourceKind":"window","sourceID":12345})"),
         nullptr, false},
        {"an unknown display", Json::parse(R"({"sourceKind":"display","sourceID":4000000000})"),
         nullptr, false},
        {"no kind", Json::parse(R"({"sourceID":1})"), missing, false},
        {"no id", Json::parse(R"({"sourceKind":"display"})"), missing, false},
        {"an id as text", Json::parse(R"({"sourceKind":"display","sourceID":"1"})"), missing,
         false},
        {"a negative id", Json::parse(R"({"sourceKind":"display","sourceID":-1})"), missing, false},
        {"no payload", nullptr, missing, false},
    };
    int n = 2;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto reply = p.request(std::to_string(n++), "sources.preview", c.payload);
        ASSERT_TRUE(reply);
        if (c.error) {
            EXPECT_EQ((*reply)["ok"], false);
            EXPECT_EQ((*reply)["error"]["message"], c.error);
            continue;
        }
        ASSERT_EQ((*reply)["ok"], true) << reply->dump();
        const Json& thumb = (*reply)["result"]["thumb"];
        if (c.hasThumb) {
            EXPECT_TRUE(thumb.get<std::string>().starts_with("data:image/jpeg;base64,"));
        } else {
            EXPECT_TRUE(thumb.is_null()) << "a missing source is not an error";
        }
    }
    EXPECT_EQ(p.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
