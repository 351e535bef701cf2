// "edit.previewTracks" and "edit.previewFrame" without the pointer path, through
// `marlune --stdio-bridge`: the tracks sent once make the same picture as a request carrying them.

#include <gtest/gtest.h>

#include "support/bridge_process.h"
#include "support/ffmpeg_tool.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::BridgeProcess;
using test::TempDir;

TEST(PreviewTracks, SentOnceTheyDrawAsIfEachRequestCarriedThem) {
    TempDir home;
    const fs::path dir = home / "Videos/Marlune";
    fs::create_directories(dir);
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 2.0, 640, 360));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));

    Json path = Json::array();
    for (int i = 0; i < 60; ++i) path.push_back({i * 33, 0.2 + i * 0.01, 0.3 + i * 0.005, 0});
    const Json clicks = Json::array({{{"t", 900}, {"fx", 0.6}, {"fy", 0.45}}});
    Json edit = Json::parse(R"({"name":"Demo.mp4","startMs":0,"endMs":2000,"maxWidth":320,
        "tMs":1000,"zooms":[{"startMs":200,"endMs":1800,"scale":2,"follow":true}],
        "cursor":{"caret":[],"size":3,"style":"dot","render":true,"ripple":true}})");
    Json full = edit;
    full["cursor"]["path"] = path;
    full["cursor"]["clicks"] = clicks;

    int id = 0;
    auto result = [&](const char* cmd, const Json& payload) {
        auto reply = p.request(std::to_string(++id), cmd, payload);
        EXPECT_TRUE(reply && (*reply)["ok"] == true) << cmd << (reply ? reply->dump() : "");
        return reply ? (*reply)["result"] : Json();
    };
    const Json wanted = result("edit.previewFrame", full);
    ASSERT_TRUE(wanted.contains("image")) << wanted.dump();

    struct Step {
        const char* label;
        const char* tracksFor;  // "edit.previewTracks" sent first for this name, or none
        bool drawn;             // otherwise {"needsTracks": true}
    };
    const Step steps[] = {
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
        const Json got = result("edit.previewFrame", edit);
        if (s.drawn) {
            EXPECT_EQ(got, wanted);
        } else {
            EXPECT_EQ(got, Json({{"needsTracks", true}}));
        }
    }
    EXPECT_EQ(p.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
