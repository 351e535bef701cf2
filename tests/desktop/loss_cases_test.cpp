// Live recordings refused to others, outliving their folder, a shrunk screen and a full disk.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "desktop/recording_checks.h"
#include "support/recording_session.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::errorText;
using test::Session;

std::optional<Json> ask(Session& s, const std::string& cmd, const Json& payload = nullptr) {
    static int n = 0;  // a reply is found by its id
    return s.request("r" + std::to_string(++n), cmd, payload);
}

// Starts a display recording and waits until its first part is on disk; the movie's name.
std::string startRecording(Session& s) {
    auto started = ask(s, "recording.start", test::displayStart(test::displayID(s)));
    if (started.value_or(Json())["ok"] != true) {
        ADD_FAILURE() << (started ? started->dump() : "no reply");
        return "";
    }
    const std::string file = (*started)["result"]["file"];
    EXPECT_TRUE(
        s.pumpUntil([&] { return test::lengthOnDisk(s.folder() / file).has_value(); }, 30s));
    return file;
}

// The first "error" event from `from` on, then the return to idle, waited for.
std::string errorThenIdle(Session& s, std::size_t from, std::chrono::seconds wait) {
    auto at = s.event("error", from, wait);
    EXPECT_TRUE(s.pumpUntil(
        [&] { return !s.phases(from).empty() && s.phases(from).back() == "idle"; }, wait));
    return at ? s.events[*at].data()["message"].get<std::string>() : "";
}

// Nobody deletes or exports a live recording (the trash used to take it); a shrunk screen keeps it.
TEST(LossCases, ALiveRecordingIsRefusedOutlivesItsFolderAndEndsWithTheScreen) {
    test::TempDir home;
    Session recorder(home.path());
    ASSERT_TRUE(recorder.request("ready", "app.ready"));
    const std::string file = startRecording(recorder);
    ASSERT_FALSE(file.empty());
    Session other(home.path());
    const std::string refusal =
        "“" + file + "” is still being recorded; export it once it has stopped";
    const std::pair<const char*, Json> cases[] = {
        {"library.delete", {{"name", file}}},
        {"edit.exportRender", {{"name", file}, {"startMs", 0}, {"endMs", 500}}},
    };
    for (Session* s : {&recorder, &other}) {
        for (const auto& [cmd, payload] : cases) {
            SCOPED_TRACE(std::string(cmd) + (s == &other ? " from another instance" : ""));
            EXPECT_EQ(errorText(ask(*s, cmd, payload)), refusal);
        }
    }

    // The folder deleted while recording: the writer still holds the movie, written back at stop.
    const fs::path movie = recorder.folder() / file;
    fs::remove_all(recorder.folder());
    recorder.pumpFor(1500ms);
    auto stopped = ask(recorder, "recording.stop");
    ASSERT_EQ(stopped.value_or(Json())["ok"], true) << stopped.value_or(Json()).dump();
    EXPECT_EQ((*stopped)["result"]["name"], file);
    EXPECT_GT(test::probeDuration(movie).value_or(0), 1.0);
    EXPECT_TRUE(test::decodesCleanly(movie));
    // Once stopped it is an ordinary recording again.
    EXPECT_EQ(errorText(ask(other, "library.delete", {{"name", file}})), "<no failure>");

    auto before = test::toolOutput(
        {"sh", "-c", "xrandr | sed -n 's/.*current \\([0-9]*\\) x \\([0-9]*\\).*/\\1x\\2/p'"});
    ASSERT_TRUE(before && !before->empty());
    const std::string size = before->substr(0, before->find('\n'));
    const std::string next = startRecording(recorder);
    ASSERT_FALSE(next.empty());
    const std::size_t from = recorder.events.size();
    // xrandr shrinks the screen, then fails to fit the output into it (and says so).
    test::runTool({"sh", "-c", "xrandr --fb 1024x600 2>/dev/null"});
    const std::string error = errorThenIdle(recorder, from, 30s);
    // Back to the size it had, with its output on again (the shrink turned it off).
    EXPECT_TRUE(test::runTool(
        {"sh", "-c",
         "xrandr --fb " + size +
             " && xrandr --output \"$(xrandr | awk '/ connected/{print $1; exit}')\" --auto"}));
    EXPECT_TRUE(error.starts_with("Recording stopped: the screen gave no pictures")) << error;
    EXPECT_TRUE(test::decodesCleanly(recorder.folder() / next));
}

// A private, small file system for the recordings folder (a tmpfs in a mount namespace of this
// test's own); false where the test may not make one.
bool smallDisk(const fs::path& folder, const char* size) {
    fs::create_directories(folder);
    if (::unshare(CLONE_NEWNS) != 0) return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    return ::mount("tmpfs", folder.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
}

// Takes all but `leave` bytes of the file system holding `folder`.
void fillUp(const fs::path& folder, std::uintmax_t leave) {
    const auto space = fs::space(folder);
    int fd = ::open((folder / ".filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::posix_fallocate(fd, 0, static_cast<off_t>(space.available - leave)), 0);
    ::close(fd);
}

// A disk filling up while recording is said at once and what was recorded kept; a start refused.
TEST(LossCases, AFullDiskStopsTheRecordingAndKeepsIt) {
    test::TempDir home;
    const fs::path folder = home.path() / "Videos/Marlune";
    if (!smallDisk(folder, "80m")) GTEST_SKIP() << "no private mount namespace here";
    Session s(home.path());
    ASSERT_TRUE(s.request("ready", "app.ready"));
    const std::string file = startRecording(s);
    ASSERT_FALSE(file.empty());
    const std::size_t from = s.events.size();
    ASSERT_NO_FATAL_FAILURE(fillUp(folder, 64 << 10));
    const std::string error = errorThenIdle(s, from, 60s);
    EXPECT_TRUE(error.starts_with("Recording stopped: ")) << error;
    fs::remove(folder / ".filler");
    EXPECT_TRUE(test::decodesCleanly(folder / file));
    auto list = ask(s, "library.list");
    ASSERT_EQ(list.value_or(Json())["result"]["items"].size(), 1u) << list.value_or(Json()).dump();

    ASSERT_NO_FATAL_FAILURE(fillUp(folder, 1 << 20));
    const std::string refused =
        errorText(ask(s, "recording.start", test::displayStart(test::displayID(s))));
    EXPECT_TRUE(refused.starts_with("Not enough free disk space to record: ")) << refused;
}

}  // namespace
}  // namespace marlune
