// The shell's commands in the headless host: no window to act on, but the media server runs.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>

#include "support/bridge_process.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using test::BridgeProcess;
using test::TempDir;

// One GET on a fresh connection ("Connection: close"); the whole answer, head and body.
std::string httpGet(int port, const std::string& path, const std::string& extra = "") {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        std::string request =
            "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + extra + "\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char chunk[4096];
        ssize_t n;
        while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0) answer.append(chunk, n);
    }
    ::close(fd);
    return answer;
}

TEST(HeadlessShell, ReadyCarriesTheMediaServer) {
    TempDir home;
    test::writeFile(home / "Videos/Marlune/Take 1.mp4", "0123456789");
    BridgeProcess p({.home = home.path()});
    auto ready = p.request("1", "app.ready");
    ASSERT_TRUE(ready);
    const Json& result = (*ready)["result"];
    // "mediaBaseURL" comes last, after the settings.
    ASSERT_FALSE(result.empty());
    EXPECT_EQ(std::prev(result.end()).key(), "mediaBaseURL");
    EXPECT_EQ(result.begin().key(), "version");
    std::string base = result["mediaBaseURL"];
    std::smatch m;
    ASSERT_TRUE(
        std::regex_match(base, m, std::regex(R"(http://127\.0\.0\.1:(\d+)(/[0-9a-f]{32}/))")))
        << base;
    int port = std::stoi(m[1]);
    std::string prefix = m[2];

    std::string whole = httpGet(port, prefix + "Take%201.mp4");
    EXPECT_TRUE(whole.starts_with("HTTP/1.1 200 OK\r\n")) << whole;
    EXPECT_TRUE(whole.ends_with("\r\n\r\n0123456789")) << whole;
    EXPECT_NE(whole.find("Content-Type: video/mp4\r\n"), std::string::npos);
    std::string part = httpGet(port, prefix + "Take%201.mp4", "Range: bytes=2-4\r\n");
    EXPECT_TRUE(part.starts_with("HTTP/1.1 206 Partial Content\r\n")) << part;
    EXPECT_TRUE(part.ends_with("\r\n\r\n234"));
    EXPECT_TRUE(httpGet(port, "/Take%201.mp4").starts_with("HTTP/1.1 404 Not Found\r\n"));
    EXPECT_EQ(p.closeAndWait(), 0);
}

TEST(HeadlessShell, WindowCommandsAnswerWithoutAWindow) {
    TempDir home;
    BridgeProcess p({.home = home.path()});
    const std::pair<const char*, Json> commands[] = {
        {"app.setChrome", {{"dark", true}}},
        {"app.setBarMode", {{"on", true}, {"w", 420}, {"h", 64}}},
        {"app.moveBar", {{"dx", 5}, {"dy", "x"}}},
        {"app.setBarMode", nullptr},
    };
    int id = 0;
    for (const auto& [cmd, payload] : commands) {
        auto reply = p.request(std::to_string(++id), cmd, payload);
        ASSERT_TRUE(reply) << cmd;
        EXPECT_EQ((*reply)["ok"], true) << cmd;
        EXPECT_EQ((*reply)["result"], Json::object()) << cmd;
    }
    // Nobody can be asked: the answer is no, at once.
    auto confirm = p.request("c", "app.confirm", {{"title", "Delete?"}, {"okLabel", "Delete"}});
    ASSERT_TRUE(confirm);
    EXPECT_EQ((*confirm)["result"], (Json{{"ok", false}}));
    EXPECT_EQ(p.closeAndWait(), 0);
    EXPECT_TRUE(p.others.empty());
}

}  // namespace
}  // namespace marlune
