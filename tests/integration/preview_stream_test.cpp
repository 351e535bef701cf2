// "edit.previewStream" through `marlune --stdio-bridge`: the editor's playback pictures, read
// from the media server as the page reads them.

#include <glib.h>

#include <gtest/gtest.h>

#include "support/bridge_process.h"
#include "support/ffmpeg_tool.h"
#include "support/raw_http.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::BridgeProcess;
using test::TempDir;

struct Part {
    double tMs = 0;
    std::string jpeg;
};

// The parts of a whole answer; stops at the first thing that is not a well-formed part.
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

TEST(PreviewStream, SendsTheEditsOwnPicturesInOrderOnce) {
    TempDir home;
    const fs::path dir = home / "Videos/Marlune";
    fs::create_directories(dir);
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 2.0, 640, 360));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));

    const struct {
        const char* payload;
        const char* error;
    } refusals[] = {
        {R"({"name":"Demo.mp4","startMs":0,"endMs":1000})", "Missing export parameters"},
        {R"({"name":"../Demo.mp4","startMs":0,"endMs":1000,"tMs":10})", "Invalid file name."},
        {R"({"name":"Demo.mp4","startMs":900,"endMs":100,"tMs":10})", "Export range is empty."},
    };
    for (const auto& c : refusals) {
        SCOPED_TRACE(c.payload);
        auto reply = p.request(c.payload, "edit.previewStream", Json::parse(c.payload));
        ASSERT_TRUE(reply);
        EXPECT_EQ((*reply)["ok"], false);
        EXPECT_EQ((*reply)["error"]["message"], c.error);
    }

    // Styled, with a zoom under way and a cut: 320 wide, from 1 s to the range's end at 2 s.
    Json payload = Json::parse(R"({"name":"Demo.mp4","startMs":0,"endMs":2000,"maxWidth":320,
        "frame":{"type":"color","hex":"#336699","paddingPct":10,"radiusPct":6},
        "zooms":[{"startMs":200,"endMs":1800,"scale":2,"fx":0.3,"fy":0.4}],
        "cuts":[{"startMs":1300,"endMs":1500}],"tMs":1000})");
    auto reply = p.request("stream", "edit.previewStream", payload);
    ASSERT_TRUE(reply && (*reply)["ok"] == true) << (reply ? reply->dump() : "no reply");
    const std::string url = (*reply)["result"]["url"];
    const std::string prefix = "http://127.0.0.1:";
    ASSERT_TRUE(url.starts_with(prefix)) << url;
    const int port = std::stoi(url.substr(prefix.size()));
    const std::string path = url.substr(url.find('/', prefix.size()));
    const std::string get = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

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
    Json still = payload;
    still["targetHeight"] = 180;
    auto made = p.request("still", "edit.previewFrame", still);
    ASSERT_TRUE(made && (*made)["ok"] == true) << (made ? made->dump() : "no reply");
    EXPECT_EQ(jpegOf((*made)["result"]["image"]), parts.front().jpeg);

    // A stream is read once.
    EXPECT_TRUE(test::rawExchange(port, get).starts_with("HTTP/1.1 404")) << "second read";
    EXPECT_EQ(p.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
