// Renaming and copying a recording through `marlune --stdio-bridge`: its movie, project file and
// webcam movie move together or not at all, and never over another file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "integration/child_commands.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::allNames;
using test::BridgeProcess;
using test::errorOf;
using test::readFile;
using test::recordings;
using test::resultOf;
using test::TempDir;
using test::writeFile;

TEST(LibraryRename, MovesAllThreeFilesOrNothing) {
    TempDir home;
    fs::path dir = recordings(home);
    writeFile(dir / "Take.mp4", "movie");
    writeFile(dir / "Take.mp4.marlune.json", "{\"v\":1}");
    writeFile(dir / "Take.webcam.mp4", "webcam");
    writeFile(dir / "Plain.mp4", "plain");
    writeFile(dir / "Other.mp4", "other");
    writeFile(dir / "Orphan.webcam.mp4", "someone else's webcam");
    writeFile(dir / "Live.mp4", "");
    fs::create_directories(dir / "Folder.mp4");
    // A recording under way: its writer holds the movie locked.
    int live = ::open((dir / "Live.mp4").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(live, 0);
    ASSERT_EQ(::flock(live, LOCK_SH), 0);
    BridgeProcess p({.home = home.path()});
    struct Case {
        const char* name;
        const char* newName;
        const char* error;  // nullptr: renamed to `result`
        const char* result;
    };
    const Case cases[] = {
        {"Take.mp4", "Other", "A recording called “Other.mp4” exists already.", nullptr},
        // A companion's new name is taken although the movie's is free.
        {"Take.mp4", "Orphan", "A recording called “Orphan.mp4” exists already.", nullptr},
        {"Live.mp4", "Later", "“Live.mp4” is still being recorded; export it once it has stopped",
         nullptr},
        {"Take.mp4", "../Out", "Invalid file name.", nullptr},
        // Names that would hide the recording or leave the folder.
        {"Take.mp4", "  ", "Invalid file name.", nullptr},
        {"Take.mp4", ".hidden", "Invalid file name.", nullptr},
        {"Take.mp4", "sub/Take", "Invalid file name.", nullptr},
        {"Take.mp4", "Face.webcam", "Invalid file name.", nullptr},
        {"../Take.mp4", "Out", "Invalid file name.", nullptr},
        {"Folder.mp4", "Moved", "Only recordings can be renamed.", nullptr},
        {"Take.webcam.mp4", "Face", "Only recordings can be renamed.", nullptr},
        {"Take.mp4", "Take", nullptr, "Take.mp4"},
        {"Take.mp4", "Launch demo", nullptr, "Launch demo.mp4"},
        {"Plain.mp4", " Plain v2.MP4 ", nullptr, "Plain v2.MP4"},
    };
    int id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " -> " + c.newName);
        auto reply = p.request(std::to_string(++id), "library.rename",
                               {{"name", c.name}, {"newName", c.newName}});
        if (c.error) {
            EXPECT_EQ(errorOf(reply), c.error);
        } else {
            EXPECT_EQ(resultOf(reply), Json({{"name", c.result}}));
        }
    }
    EXPECT_EQ(errorOf(p.request("m", "library.rename", {{"name", "Plain v2.MP4"}})),
              "Missing file name");
    EXPECT_EQ(p.closeAndWait(), 0);
    ::close(live);
    const std::vector<std::string> expected = {
        "Folder.mp4",
        "Launch demo.mp4",
        "Launch demo.mp4.marlune.json",
        "Launch demo.webcam.mp4",
        "Live.mp4",
        "Orphan.webcam.mp4",
        "Other.mp4",
        "Plain v2.MP4",
    };
    EXPECT_EQ(allNames(dir), expected);
    EXPECT_EQ(readFile(dir / "Launch demo.mp4"), "movie");
    EXPECT_EQ(readFile(dir / "Launch demo.mp4.marlune.json"), "{\"v\":1}");
    EXPECT_EQ(readFile(dir / "Launch demo.webcam.mp4"), "webcam");
    EXPECT_EQ(readFile(dir / "Other.mp4"), "other");
    EXPECT_EQ(readFile(dir / "Orphan.webcam.mp4"), "someone else's webcam");
}

TEST(LibraryRename, CopyNamesTheFileForTheClipboard) {
    TempDir home;
    writeFile(recordings(home) / "A b.mp4", "movie");
    BridgeProcess p({.home = home.path()});
    EXPECT_EQ(resultOf(p.request("c", "library.copy", {{"name", "A b.mp4"}}))["uri"],
              "file://" + (recordings(home) / "A%20b.mp4").string());
    EXPECT_EQ(errorOf(p.request("o", "library.copy", {{"name", "../x.mp4"}})),
              "Invalid file name.");
    EXPECT_NE(errorOf(p.request("g", "library.copy", {{"name", "Gone.mp4"}})), "(no failure)");
    EXPECT_EQ(p.closeAndWait(), 0);
}

}  // namespace
}  // namespace marlune
