// "edit.autoZoom" through `marlune --stdio-bridge`, on project files in the child's own HOME.

#include <gtest/gtest.h>

#include "integration/child_commands.h"

namespace marlune {
namespace {

using test::BridgeProcess;
using test::errorOf;
using test::recordings;
using test::resultOf;
using test::TempDir;
using test::writeFile;

TEST(AutoZoomCommands, ProposesFromTheProjectFileAndSavesNothing) {
    TempDir home;
    const std::string project =
        R"({"version":1,"clicks":[{"t":5000,"fx":0.3,"fy":0.4}],"cursorPath":[[0,0.5,0.5,0]]})";
    writeFile(recordings(home) / "Take.mp4.marlune.json", project);
    writeFile(recordings(home) / "Broken.mp4.marlune.json", "{not json");
    BridgeProcess p({.home = home.path()});
    struct Case {
        const char* payload;
        const char* error;  // nullptr: success with `zooms`
        const char* zooms;
    };
    const Case cases[] = {
        {"{}", "Missing file name", nullptr},
        {R"({"name":"Take.mp4"})", nullptr,
         R"([{"startMs":3477,"endMs":7015,"scale":2.5,"fx":0.3,"fy":0.4,"follow":true,)"
         R"("inMs":1522.575,"outMs":1015.05,"typing":false}])"},
        // The recording ends before the zoom would: it stops at the end.
        {R"({"name":"Take.mp4","durationMs":6000})", nullptr,
         R"([{"startMs":3462,"endMs":6000,"scale":2.5,"fx":0.3,"fy":0.4,"follow":true,)"
         R"("inMs":1522.575,"outMs":1015.05,"typing":false}])"},
        {R"({"name":"None.mp4"})", nullptr, "[]"},
        {R"({"name":"Broken.mp4"})", nullptr, "[]"},
        {R"({"name":"../Take.mp4"})", nullptr, "[]"},
    };
    int id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        auto reply = p.request(std::to_string(++id), "edit.autoZoom", Json::parse(c.payload));
        if (c.error) {
            EXPECT_EQ(errorOf(reply), c.error);
        } else {
            EXPECT_EQ(resultOf(reply), (Json{{"zooms", Json::parse(c.zooms)}}));
        }
    }
    EXPECT_EQ(test::readFile(recordings(home) / "Take.mp4.marlune.json"), project);
    EXPECT_EQ(test::allNames(recordings(home)),
              (std::vector<std::string>{"Broken.mp4.marlune.json", "Take.mp4.marlune.json"}));
}

}  // namespace
}  // namespace marlune
