// The tracks kept beside a recording, and what launch makes of them after a crash.

#include "recording/track_journal.h"

#include <fstream>

#include <gtest/gtest.h>

#include "library/project_store.h"
#include "library/recordings_library.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;

Json click(int t, double fx, double fy) {
    return Json{{"t", t}, {"fx", fx}, {"fy", fy}};
}

TEST(RecordedTracks, ProjectDataHoldsWhatTheTracksHave) {
    struct Case {
        const char* what;
        Json batch;
        Json expected;  // null: no project file
    };
    const Case cases[] = {
        {"nothing", Json::object(), nullptr},
        {"clicks",
         {{"clicks", {click(5, 0.1, 0.2)}}},
         {{"version", 1}, {"clicks", {click(5, 0.1, 0.2)}}}},
        {"a cursor path alone still has its clicks member",
         {{"cursorPath", {{1, 0.5, 0.5, 0}}}},
         {{"version", 1}, {"clicks", Json::array()}, {"cursorPath", {{1, 0.5, 0.5, 0}}}}},
        {"members of the wrong type are no tracks",
         {{"clicks", "many"}, {"cursorPath", 3}, {"webcam", "yes"}, {"caretPath", Json::array()}},
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordedTracks tracks;
        tracks.append(c.batch);
        auto data = tracks.projectData();
        if (c.expected.is_null()) {
            EXPECT_FALSE(data) << data->dump();
        } else {
            ASSERT_TRUE(data);
            EXPECT_EQ(*data, c.expected);
        }
    }
}

class TrackJournalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = RecordingsLibrary::dirURL();
        fs::create_directories(folder);
        for (const auto& e : fs::directory_iterator(folder)) fs::remove_all(e.path());
    }

    fs::path movie(const std::string& name) {
        fs::path p = folder / name;
        test::writeFile(p, "movie");
        return p;
    }

    fs::path folder;
};

TEST_F(TrackJournalTest, BatchesAddUpAndALineCutShortIsLeftOut) {
    fs::path m = movie("A.mp4");
    {
        auto journal = TrackJournal::create(m);
        ASSERT_TRUE(journal) << journal.error().message;
        EXPECT_EQ((*journal)->path(), folder / ".A.mp4.tracks");
        (*journal)->append({{"clicks", {click(1, 0.1, 0.1)}}, {"cursorPath", {{0, 0, 0, 0}}}});
        (*journal)->append(Json::object());  // nothing new: no line
        (*journal)->append({{"clicks", {click(2, 0.2, 0.2)}}, {"caretPath", {{3, 0.3, 0.3}}}});
    }  // the writes in flight are done when the journal goes; the file stays
    auto tracks = TrackJournal::read(folder / ".A.mp4.tracks");
    ASSERT_TRUE(tracks);
    EXPECT_EQ(tracks->clicks, Json({click(1, 0.1, 0.1), click(2, 0.2, 0.2)}));
    EXPECT_EQ(tracks->cursorPath, Json({{0, 0, 0, 0}}));
    EXPECT_EQ(tracks->caretPath, Json({{3, 0.3, 0.3}}));

    // A crash in the middle of a line: the line has no break yet.
    {
        std::ofstream out(folder / ".A.mp4.tracks", std::ios::app);
        out << R"({"clicks":[{"t":4,"fx":0.4,"fy":0.4}]})";
    }
    tracks = TrackJournal::read(folder / ".A.mp4.tracks");
    ASSERT_TRUE(tracks);
    EXPECT_EQ(tracks->clicks.size(), 2u);
}

TEST_F(TrackJournalTest, LaunchTurnsLeftoverJournalsIntoProjectFiles) {
    ProjectStore projects;
    auto leave = [&](const std::string& name, const Json& batch) {
        auto journal = TrackJournal::create(folder / name);
        ASSERT_TRUE(journal);
        (*journal)->append(batch);
    };
    const Json clicks = {{"clicks", {click(7, 0.5, 0.25)}}};
    // A recording that crashed: its movie and its journal.
    movie("Crashed.mp4");
    leave("Crashed.mp4", clicks);
    // One that got as far as its project file before the crash: that file is the whole story.
    movie("Saved.mp4");
    leave("Saved.mp4", clicks);
    ASSERT_TRUE(projects.save("Saved.mp4", {{"version", 1}, {"clicks", Json::array()}, {"a", 1}}));
    // One whose movie is gone (deleted, or never had a frame).
    leave("Gone.mp4", clicks);
    // One with nothing recorded.
    movie("Empty.mp4");
    leave("Empty.mp4", Json::object());
    // One still being recorded by another instance.
    movie("Running.mp4");
    auto running = TrackJournal::create(folder / "Running.mp4");
    ASSERT_TRUE(running);
    (*running)->append(clicks);
    // One killed before its movie had its first picture: nothing of it can be kept.
    test::writeFile(folder / "Unwritten.mp4", "");
    leave("Unwritten.mp4", clicks);
    // A journal that says nothing sensible.
    movie("Garbled.mp4");
    test::writeFile(folder / ".Garbled.mp4.tracks", "not json\n");

    auto outcome = recoverTrackJournals();
    ASSERT_EQ(outcome.size(), 2u);
    EXPECT_EQ(outcome[0].name, "Crashed.mp4");
    EXPECT_TRUE(outcome[0].recovered);
    EXPECT_EQ(outcome[1].name, "Unwritten.mp4");
    EXPECT_FALSE(outcome[1].recovered);
    EXPECT_EQ(outcome[1].error, "it was cut short before any of it was written");
    EXPECT_FALSE(fs::exists(folder / "Unwritten.mp4"));

    // The project file as read back: nothing when there is none, or when it cannot be read.
    auto project = [&](std::string_view name) -> std::optional<Json> {
        auto loaded = projects.load(name);
        return loaded ? *loaded : std::nullopt;
    };
    EXPECT_EQ(project("Crashed.mp4"), Json({{"version", 1}, {"clicks", {click(7, 0.5, 0.25)}}}));
    EXPECT_EQ(project("Saved.mp4").value_or(Json::object()).value("a", 0), 1);
    EXPECT_FALSE(project("Empty.mp4"));
    EXPECT_FALSE(project("Garbled.mp4"));
    EXPECT_FALSE(project("Running.mp4"));
    for (const char* gone : {"Crashed", "Saved", "Gone", "Empty", "Garbled", "Unwritten"}) {
        EXPECT_FALSE(fs::exists(folder / ("." + std::string(gone) + ".mp4.tracks"))) << gone;
    }
    EXPECT_TRUE(fs::exists(folder / ".Running.mp4.tracks"));

    // Once that recording has ended, a later launch picks its journal up too.
    running->reset();
    outcome = recoverTrackJournals();
    ASSERT_EQ(outcome.size(), 1u);
    EXPECT_EQ(outcome[0].name, "Running.mp4");
    EXPECT_TRUE(recoverTrackJournals().empty());
}

}  // namespace
}  // namespace marlune
