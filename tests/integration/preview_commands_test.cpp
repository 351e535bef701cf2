// The editor's stills, its tracks sent once and its playback stream, read as the page reads them.

#include <glib.h>

#include <gtest/gtest.h>

#include "integration/child_commands.h"
#include "support/ffmpeg_tool.h"
#include "support/raw_http.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace test;
using namespace std::chrono_literals;

struct Part {
    double tMs = 0;
    std::string jpeg;
};

// The parts of a whole multipart answer; stops at the first thing that is not a well-formed part.
std::vector<Part> partsOf(const std::string& answer) {
    std::vector<Part> parts;
    std::size_t at = answer.find("\r\n\r\n");
    while (at != std::string::npos) {
        at = answer.find("--marlunepicture\r\n", at);
        const std::size_t end = at == std::string::npos ? at : answer.find("\r\n\r\n", at);
        if (end == std::string::npos) break;
        const std::string head = answer.substr(at, end - at);
        const auto field = [&](const std::string& name) {
            const std::size_t f = head.find(name + ": ");
            return f == std::string::npos
                       ? std::string()
                       : head.substr(f + name.size() + 2, head.find('\r', f) - f - name.size() - 2);
        };
        const std::size_t length = std::stoul(field("Content-Length"));
        parts.push_back({std::stod(field("X-Marlune-Time")), answer.substr(end + 4, length)});
        at = end + 4 + length;
    }
    return parts;
}

std::string jpegOf(const std::string& dataURL) {
    gsize length = 0;
    guchar* bytes = g_base64_decode(dataURL.substr(dataURL.find(',') + 1).c_str(), &length);
    std::string out(reinterpret_cast<const char*>(bytes), length);
    g_free(bytes);
    return out;
}

TEST(PreviewCommands, FramesTracksAndStreams) {
    TempDir home;
    const fs::path dir = test::recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 2.0, 640, 360));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));
    int id = 0;
    auto result = [&](const char* cmd, const Json& payload) {
        auto reply = p.request(std::to_string(++id), cmd, payload);
        EXPECT_TRUE(reply && (*reply)["ok"] == true) << cmd << (reply ? reply->dump() : "");
        return reply ? (*reply)["result"] : Json();
    };

    // ---- Refusals
    const std::tuple<const char*, const char*, const char*> refusals[] = {
        {"edit.previewFrame", R"({"name":"Demo.mp4","startMs":0,"tMs":10})",
         "Missing export parameters"},
        {"edit.previewStream", R"({"name":"Demo.mp4","startMs":0,"endMs":1000})",
         "Missing export parameters"},
        {"edit.previewFrame", R"({"name":"../Demo.mp4","startMs":0,"endMs":1000,"tMs":10})",
         "Invalid file name."},
        {"edit.previewStream", R"({"name":"../Demo.mp4","startMs":0,"endMs":1000,"tMs":10})",
         "Invalid file name."},
        {"edit.previewFrame", R"({"name":"Demo.mp4","startMs":900,"endMs":100,"tMs":10})",
         "Export range is empty."}};
    for (const auto& [cmd, refused, error] : refusals) {
        EXPECT_EQ(test::errorOf(p.request(std::to_string(++id), cmd, Json::parse(refused))), error)
            << cmd << " " << refused;
    }

    // ---- One still picture, then a scrubbing burst
    Json payload = Json::parse(R"({"name":"Demo.mp4","startMs":0,"endMs":2000,"maxWidth":320,
        "frame":{"type":"color","hex":"#336699"},
        "zooms":[{"startMs":200,"endMs":1800,"scale":2}],"tMs":1010})");
    const Json still = result("edit.previewFrame", payload);
    EXPECT_TRUE(still["image"].get<std::string>().starts_with("data:image/jpeg;base64,"));
    EXPECT_EQ(std::pair(still["width"], still["height"]), std::pair(Json(320), Json(180)));
    EXPECT_DOUBLE_EQ(still["tMs"].get<double>(), 1000);
    // Each request gets one reply; all but the newest (and perhaps the first, already under way)
    // are overtaken.
    constexpr int kBurst = 8;
    for (int i = 0; i < kBurst; ++i) {
        payload["tMs"] = 100 + 200 * i;
        p.send("scrub" + std::to_string(i), "edit.previewFrame", payload);
    }
    auto last = p.waitReply("scrub" + std::to_string(kBurst - 1), 30s);
    ASSERT_TRUE(last);
    EXPECT_TRUE((*last)["result"].contains("image")) << last->dump();

    // ---- Tracks sent once draw as if each request carried them
    Json path = Json::array();
    for (int i = 0; i < 60; ++i) path.push_back({i * 33, 0.2 + i * 0.01, 0.3 + i * 0.005, 0});
    const Json clicks = Json::array({{{"t", 900}, {"fx", 0.6}, {"fy", 0.45}}});
    Json edit = Json::parse(R"({"name":"Demo.mp4","startMs":0,"endMs":2000,"maxWidth":320,
        "tMs":1000,"zooms":[{"startMs":200,"endMs":1800,"scale":2,"follow":true}],
        "cursor":{"caret":[],"size":3,"style":"dot","render":true,"ripple":true}})");
    Json full = edit;
    full["cursor"]["path"] = path;
    full["cursor"]["clicks"] = clicks;
    const Json wanted = result("edit.previewFrame", full);
    ASSERT_TRUE(wanted.contains("image")) << wanted.dump();
    const struct {
        const char* label;
        const char* tracksFor;  // "edit.previewTracks" sent first for this name, or none
        bool drawn;             // otherwise {"needsTracks": true}
    } steps[] = {
        {"nothing sent yet", nullptr, false},
        {"another recording's tracks", "Other.mp4", false},
        {"this recording's tracks", "Demo.mp4", true},
        {"still held for the next picture", nullptr, true},
        {"replaced by another recording's", "Other.mp4", false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.label);
        if (s.tracksFor) {
            result("edit.previewTracks",
                   {{"name", s.tracksFor}, {"path", path}, {"clicks", clicks}});
        }
        EXPECT_EQ(result("edit.previewFrame", edit),
                  s.drawn ? wanted : Json({{"needsTracks", true}}));
    }

    // ---- The playback stream
    // Styled, with a zoom under way and a cut: 320 wide, from 1 s to the range's end at 2 s.
    Json styled = Json::parse(R"({"name":"Demo.mp4","startMs":0,"endMs":2000,"maxWidth":320,
        "frame":{"type":"color","hex":"#336699","paddingPct":10,"radiusPct":6},
        "zooms":[{"startMs":200,"endMs":1800,"scale":2,"fx":0.3,"fy":0.4}],
        "cuts":[{"startMs":1300,"endMs":1500}],"tMs":1000})");
    const std::string url = result("edit.previewStream", styled).value("url", "");
    const std::string prefix = "http://127.0.0.1:";
    ASSERT_TRUE(url.starts_with(prefix)) << url;
    const int port = std::stoi(url.substr(prefix.size()));
    const std::string get =
        "GET " + url.substr(url.find('/', prefix.size())) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string answer = test::rawExchange(port, get);
    ASSERT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer.substr(0, 200);
    EXPECT_NE(answer.find("boundary=marlunepicture"), std::string::npos);
    const std::vector<Part> parts = partsOf(answer);
    ASSERT_FALSE(parts.empty());
    // Pictures may be skipped to keep time, never repeated, sent out of order or taken from the
    // cut; the first is the one asked for.
    EXPECT_DOUBLE_EQ(parts.front().tMs, 1000);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        SCOPED_TRACE(parts[i].tMs);
        EXPECT_TRUE(parts[i].jpeg.starts_with("\xff\xd8") && parts[i].jpeg.ends_with("\xff\xd9"));
        EXPECT_TRUE(parts[i].tMs < 1300 || parts[i].tMs >= 1500);
        EXPECT_LT(parts[i].tMs, 2000);
        if (i > 0) {
            EXPECT_GT(parts[i].tMs, parts[i - 1].tMs);
        }
    }
    // The export's own picture, at the size it is shown at: what the still preview makes.
    styled["targetHeight"] = 180;
    EXPECT_EQ(jpegOf(result("edit.previewFrame", styled).value("image", "")), parts.front().jpeg);
    EXPECT_TRUE(test::rawExchange(port, get).starts_with("HTTP/1.1 404")) << "read once only";

    EXPECT_EQ(p.closeAndWait(), 0);

    // The replies to the overtaken scrubbing requests, read meanwhile.
    p.others.insert(p.others.end(), p.leftover.begin(), p.leftover.end());
    int superseded = 0, replies = 0;
    for (const auto& line : p.others) {
        auto s = test::parseScriptLine(line);
        if (s.kind != test::ScriptLine::Kind::reply) continue;
        if (!s.value.value("id", "").starts_with("scrub")) continue;
        ++replies;
        EXPECT_EQ(s.value["ok"], true) << line;
        if (s.value["result"] == Json({{"superseded", true}})) ++superseded;
    }
    EXPECT_EQ(replies, kBurst - 1) << "one reply for each earlier request";
    EXPECT_GE(superseded, kBurst - 2);
}

}  // namespace
}  // namespace marlune
