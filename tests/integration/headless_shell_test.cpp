// The shell's commands in the headless host: no window to act on and no display to list, but the
// media server runs.

#include <regex>

#include <gtest/gtest.h>

#include "support/bridge_process.h"
#include "support/raw_http.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using test::BridgeProcess;
using test::TempDir;

// One GET on a fresh connection ("Connection: close"); the whole answer, head and body.
std::string httpGet(int port, const std::string& path, const std::string& extra = "") {
    return test::rawExchange(
        port, "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + extra + "\r\n");
}

TEST(HeadlessShell, ReadyCarriesTheMediaServerAndWindowAndSourceCommandsAnswer) {
    TempDir home;
    test::writeFile(home / "Videos/Marlune/Take 1.mp4", "0123456789");
    BridgeProcess p({.home = home.path()});
    auto ready = p.request("1", "app.ready");
    ASSERT_TRUE(ready);
    // "mediaBaseURL" comes last, after the settings.
    const Json& result = (*ready)["result"];
    ASSERT_FALSE(result.empty());
    EXPECT_EQ(result.begin().key(), "version");
    EXPECT_EQ(std::prev(result.end()).key(), "mediaBaseURL");
    std::string base = result["mediaBaseURL"];
    std::smatch m;
    ASSERT_TRUE(
        std::regex_match(base, m, std::regex(R"(http://127\.0\.0\.1:(\d+)(/[0-9a-f]{32}/))")))
        << base;
    const int port = std::stoi(m[1]);
    const std::string prefix = m[2];
    std::string part = httpGet(port, prefix + "Take%201.mp4", "Range: bytes=2-4\r\n");
    EXPECT_TRUE(part.starts_with("HTTP/1.1 206 Partial Content\r\n")) << part;
    EXPECT_NE(part.find("Content-Type: video/mp4\r\n"), std::string::npos);
    EXPECT_TRUE(part.ends_with("\r\n\r\n234"));
    EXPECT_TRUE(httpGet(port, "/Take%201.mp4").starts_with("HTTP/1.1 404 Not Found\r\n"));

    // No window to act on: the window commands answer all the same, and nobody can be asked to
    // confirm, so the answer is no, at once.
    const std::tuple<const char*, Json, Json> commands[] = {
        {"app.setChrome", {{"dark", true}}, Json::object()},
        {"app.setBarMode", {{"on", true}, {"w", 420}, {"h", 64}}, Json::object()},
        {"app.moveBar", {{"dx", 5}, {"dy", "x"}}, Json::object()},
        {"app.setBarMode", nullptr, Json::object()},
        {"app.confirm", {{"title", "Delete?"}, {"okLabel", "Delete"}}, {{"ok", false}}},
    };
    for (const auto& [cmd, payload, expected] : commands) {
        auto reply = p.request(cmd, cmd, payload);
        ASSERT_TRUE(reply) << cmd;
        EXPECT_EQ((*reply)["result"], expected) << cmd;
    }
    // Nor a display to list sources on: said plainly; a preview finds nothing.
    auto list = p.request("list", "sources.list");
    ASSERT_TRUE(list);
    EXPECT_EQ((*list)["ok"], false);
    EXPECT_EQ((*list)["error"]["message"], "Cannot connect to the X display.");
    auto preview =
        p.request("preview", "sources.preview", {{"sourceKind", "window"}, {"sourceID", 7}});
    ASSERT_TRUE(preview);
    EXPECT_TRUE((*preview)["result"]["thumb"].is_null());
    EXPECT_EQ(p.closeAndWait(), 0);
    EXPECT_TRUE(p.others.empty());
}

}  // namespace
}  // namespace marlune
