// Portal recordings under scripts/with-wayland: kill, hot key, share ended, area, window.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/capture_source_provider.h"
#include "recording/caret_tracker.h"
#include "recording/track_journal.h"
#include "recording/wayland_capture.h"
#include "support/ffmpeg_tool.h"
#include "support/recording_session.h"
#include "support/temp_dir.h"
#include "wayland/pointer_mover.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A Wayland session records through the portal; an X11 one with a Wayland socket stays on X11.
TEST(WaylandRules, TheSessionPicksTheCaptureBackend) {
    const std::tuple<const char*, const char*, CaptureBackend> cases[] = {
        {"wayland", "", CaptureBackend::portal},
        {"", "wayland-0", CaptureBackend::portal},
        {"x11", "wayland-0", CaptureBackend::x11},
        {"", "", CaptureBackend::x11},
    };
    for (const auto& [session, display, expected] : cases) {
        EXPECT_EQ(captureBackendFor(session, display), expected) << session << " / " << display;
    }
}

TEST(WaylandRules, TheRestoredPictureGoesToTheMonitorItShows) {
    const std::vector<wayland::WaylandOutput> two = {{"DP-1", {0, 0, 1920, 1080}},
                                                     {"", {1920, 0, 1280, 1024}}};
    const auto picture = std::pair{PixelRect{1920, 0, 1280, 1024}, BgraImage::blank(64, 48)};
    const Json list = CaptureSourceProvider::waylandListObject(two, false, true, picture);
    ASSERT_EQ(list["screens"].size(), 2u);
    const Json& second = list["screens"][1];
    EXPECT_EQ(std::tuple(second["name"], second["id"], second["width"]),
              std::tuple(Json("Display 2"), Json(2), Json(1280)));
    EXPECT_FALSE(list["screens"][0].contains("thumb"));
    EXPECT_TRUE(second.contains("thumb"));
    EXPECT_EQ(list["screens"][0]["asks"], false);
    ASSERT_EQ(list["windows"].size(), 1u);
    EXPECT_EQ(list["windows"][0]["asks"], true);
}

// The painter (tests/wayland/painter.py), full screen or a window of `size` ("WxH"), repainting
// in a new shade of #..6699.
class Painter {
  public:
    explicit Painter(const char* size = nullptr) {
        const char* argv[] = {"/usr/bin/python3", MARLUNE_SOURCE_DIR "/tests/wayland/painter.py",
                              size, nullptr};
        gchar** env = g_environ_setenv(g_get_environ(), "GDK_BACKEND", "wayland", TRUE);
        env = g_environ_setenv(env, "PAINTER_READY", (ready_.path() / "up").c_str(), TRUE);
        g_spawn_async(nullptr, const_cast<char**>(argv), env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                      nullptr, &pid_, nullptr);
        g_strfreev(env);
        // On the screen before a recording starts (python and GTK take a while on a busy machine).
        const auto deadline = Clock::now() + 30s;
        while (!fs::exists(ready_.path() / "up") && Clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
        }
    }
    ~Painter() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }

  private:
    test::TempDir ready_;
    GPid pid_ = 0;
};

// The picture at `seconds` into a movie, as RGB pixels of a 16 × 9 reduction.
std::optional<std::string> reducedFrame(const fs::path& movie, double seconds) {
    return test::toolOutput({"ffmpeg", "-v", "error", "-ss", std::to_string(seconds), "-i",
                             movie.string(), "-frames:v", "1", "-vf", "scale=16:9", "-f",
                             "rawvideo", "-pix_fmt", "rgb24", "-"});
}

// The green and blue of pixel `i` of a reduced frame (the red is the painter's changing shade),
// give or take the movie's colour conversion.
void expectGreenBlue(const std::string& frame, std::size_t i, int green, int blue) {
    EXPECT_NEAR(static_cast<unsigned char>(frame[i * 3 + 1]), green, 28) << i;
    EXPECT_NEAR(static_cast<unsigned char>(frame[i * 3 + 2]), blue, 28) << i;
}

// The screen-cast sessions the portal holds now, by object path: the stand-in registers each as
// <root>/<client>/<token>, beside the hot key's GlobalShortcuts sessions ("marlune_keys_...").
std::vector<std::string> portalSessions() {
    const std::string root = "/org/freedesktop/portal/desktop/session";
    std::istringstream tree(test::toolOutput({"gdbus", "introspect", "--session", "--dest",
                                              "org.freedesktop.portal.Desktop", "--object-path",
                                              root, "--recurse", "--only-properties"})
                                .value_or(""));
    std::vector<std::string> out;
    for (std::string word, path; tree >> word;) {
        if (word != "node" || !(tree >> path) || !path.starts_with(root)) continue;
        if (std::ranges::count(path.substr(root.size()), '/') == 2 &&
            path.find("marlune_keys_") == std::string::npos) {
            out.push_back(path);
        }
    }
    std::ranges::sort(out);
    return out;
}

// Fires the shortcut `id` through the stand-in; answers how many sessions held it.
unsigned activate(const char* id) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "app.marlune.PortalStandin", "Activate", g_variant_new("(s)", id), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    guint32 held = 0;
    if (reply) {
        g_variant_get(reply, "(u)", &held);
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return held;
}

TEST(WaylandRecording, RecordsSurvivesAKillTakesTheHotKeyAndEndsWithTheShare) {
    if (!std::getenv("WAYLAND_DISPLAY")) GTEST_SKIP() << "needs scripts/with-wayland";
    test::TempDir home;
    Painter painter;
    const fs::path folder = home.path() / "Videos/Marlune";
    std::string file;
    {
        test::Session s(home.path());
        auto list = s.request("list", "sources.list");
        ASSERT_TRUE(list && (*list)["ok"].get<bool>()) << (list ? list->dump() : "no reply");
        const Json& screens = (*list)["result"]["screens"];
        ASSERT_EQ(screens.size(), 1u);
        EXPECT_EQ(screens[0]["width"], 1280);
        EXPECT_EQ(screens[0]["height"], 720);
        EXPECT_EQ(screens[0]["asks"], true);  // nothing chosen before
        EXPECT_EQ((*list)["result"]["windows"][0]["chooser"], true);
        s.send("start", "recording.start",
               Json{{"sourceKind", "display"},
                    {"sourceID", screens[0]["id"]},
                    {"mic", false},
                    {"cursorMode", "smooth"}});
        auto started = s.reply("start", 60s);
        ASSERT_TRUE(started && started->line.value["ok"].get<bool>())
            << (started ? started->line.value.dump() : "no reply");
        file = started->line.value["result"]["file"];

        // Right and down across the screen, until more than two seconds of movie and a path of
        // the pointer's travel are safe on disk.
        test::PointerMover pointer;
        auto safe = [&] {
            auto tracks = TrackJournal::read(TrackJournal::pathFor(folder / file));
            return tracks && tracks->cursorPath.size() > 30 &&
                   test::probeDuration(folder / file) > 2.0;
        };
        const auto deadline = Clock::now() + 60s;
        while (!safe() && Clock::now() < deadline) {
            pointer.move(6, 3);
            s.pumpFor(100ms);
        }
        ASSERT_TRUE(safe());
        s.kill();
    }

    test::Session s(home.path());
    ASSERT_TRUE(s.request("ready", "app.ready"));
    {
        SCOPED_TRACE("recovered after the kill");
        auto notice = s.event("notice", 0, 10s);
        ASSERT_TRUE(notice);
        EXPECT_EQ(s.events[*notice].data()["message"],
                  "Recovered an interrupted recording: " + file);
        const fs::path movie = folder / file;
        EXPECT_TRUE(test::decodesCleanly(movie));
        // The painter's pictures.
        auto frame = reducedFrame(movie, 1.0);
        ASSERT_TRUE(frame && frame->size() == 16 * 9 * 3);
        expectGreenBlue(*frame, 4 * 16 + 8, 0x66, 0x99);
        Json project = Json::parse(test::readFile(folder / (file + ".marlune.json")));
        const Json& path = project["cursorPath"];
        ASSERT_GT(path.size(), 30u) << project.dump();
        // [ms, fx, fy, type]: the last sample lies right of and below the first.
        EXPECT_GT(path.back()[1].get<double>(), path.front()[1].get<double>());
        EXPECT_GT(path.back()[2].get<double>(), path.front()[2].get<double>());
    }
    {
        SCOPED_TRACE("the hot key comes through the desktop's shortcuts");
        // The program binds the shortcut once it has launched; until then nothing holds it.
        unsigned held = 0;
        s.pumpUntil([&] { return (held = activate("record")) != 0; }, 20s);
        ASSERT_EQ(held, 1u) << "the program bound no shortcut named \"record\"";
        // No recording runs: the press asks the page to record.
        EXPECT_TRUE(s.event("hotkeyRecord", 0, 20s));
        auto status = s.request("status", "permissions.status");
        ASSERT_TRUE(status);
        const Json& st = (*status)["result"];
        EXPECT_EQ(st["session"], "wayland");
        EXPECT_EQ(st["hotkey"], "granted");
    }

    // The chosen monitor is remembered: listing it again needs no dialog and shows its picture.
    auto again = s.request("again", "sources.list");
    ASSERT_TRUE(again && (*again)["ok"].get<bool>());
    const Json screen = (*again)["result"]["screens"][0];
    EXPECT_EQ(screen["asks"], false);
    EXPECT_TRUE(screen.value("thumb", "").starts_with("data:image/jpeg;base64,"));
    {
        SCOPED_TRACE("the person stops sharing from the desktop: the recording is saved");
        const auto before = portalSessions();
        const std::size_t from = s.events.size();
        s.send("share", "recording.start",
               Json{{"sourceKind", "display"}, {"sourceID", screen["id"]}, {"mic", false}});
        auto shared = s.reply("share", 60s);
        ASSERT_TRUE(shared && shared->line.value["ok"].get<bool>());
        const std::string sharedFile = shared->line.value["result"]["file"];
        const fs::path sharedMovie = folder / sharedFile;
        s.pumpUntil([&] { return test::probeDuration(sharedMovie) >= 1.0; }, 30s);
        std::vector<std::string> sessions;
        std::ranges::set_difference(portalSessions(), before, std::back_inserter(sessions));
        ASSERT_EQ(sessions.size(), 1u);
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        GVariant* closed =
            g_dbus_connection_call_sync(bus, "org.freedesktop.portal.Desktop", sessions[0].c_str(),
                                        "org.freedesktop.portal.Session", "Close", nullptr, nullptr,
                                        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        ASSERT_TRUE(closed);
        g_variant_unref(closed);
        g_object_unref(bus);
        auto error = s.event("error", from, 30s);
        ASSERT_TRUE(error);
        EXPECT_TRUE(s.events[*error].data()["message"].get<std::string>().starts_with(
            "Capture stopped unexpectedly: "));
        auto saved = s.event("saved", *error, 30s);
        ASSERT_TRUE(saved);
        EXPECT_EQ(s.events[*saved].data()["name"], sharedFile);
        EXPECT_TRUE(test::decodesCleanly(sharedMovie));
        EXPECT_GT(test::probeDuration(sharedMovie).value_or(0), 0.9);
    }

    EXPECT_EQ(s.closeAndWait(), 0);
}

// An area is that part of the stream, the cursor too; a window share is the window, not the screen.
TEST(WaylandRecording, AnAreaOrAWindowIsThatPartOfTheScreen) {
    if (!std::getenv("WAYLAND_DISPLAY")) GTEST_SKIP() << "needs scripts/with-wayland";
    const Json area{{"x", 900}, {"y", 500}, {"width", 320}, {"height", 180}};
    // The area's recording follows a countdown, whose window must be gone from it at once (a
    // full-screen countdown left it black for most of a second).
    const Json areaStart{{"sourceKind", "area"}, {"sourceID", 1},  {"area", area},
                         {"mic", false},         {"countdown", 3}, {"cursorMode", "smooth"}};
    const Json windowStart{
        {"sourceKind", "window"}, {"sourceID", 1}, {"mic", false}, {"countdown", 0}};
    const struct {
        const char* painter;  // its window's size, or full screen
        const Json& start;
        std::array<int, 4> size;       // least and most width, least and most height
        std::array<int, 2> greenBlue;  // of the middle (an area in the painter's #..9966 third)
    } cases[] = {
        {nullptr, areaStart, {320, 320, 180, 180}, {0x99, 0x66}},
        {"640x400", windowStart, {640, 760, 400, 540}, {0x66, 0x99}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start.dump());
        test::TempDir home;
        Painter painter(c.painter);
        test::Session s(home.path());
        ASSERT_TRUE(s.request("ready", "app.ready"));  // events flow from here on
        // The pointer from the screen's top-left corner to just outside the area's.
        test::PointerMover pointer;
        pointer.move(-4000, -4000);
        pointer.move(880, 480);
        std::optional<test::Seen> started;
        for (int attempt = 0; attempt < 20; ++attempt) {  // a window once the painter has focus
            s.send("start" + std::to_string(attempt), "recording.start", c.start);
            started = s.reply("start" + std::to_string(attempt), 60s);
            if (!started || started->line.value["ok"].get<bool>()) break;
            s.pumpFor(500ms);
        }
        ASSERT_TRUE(started && started->line.value["ok"].get<bool>());
        const fs::path movie = home.path() / "Videos/Marlune" /
                               started->line.value["result"]["file"].get<std::string>();
        for (int step = 0; step < 30; ++step) {  // into the area, to (1000, 547.5)
            pointer.move(4, 2.25);
            s.pumpFor(50ms);
        }
        s.pumpUntil([&] { return test::probeDuration(movie) >= 2.5; }, 60s);
        ASSERT_TRUE(s.request("stop", "recording.stop") && s.event("saved", 0, 30s));

        int width = 0, height = 0;
        auto size =
            test::toolOutput({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                              "stream=width,height", "-of", "csv=p=0", movie.string()});
        ASSERT_EQ(std::sscanf(size.value_or("").c_str(), "%d,%d", &width, &height), 2);
        EXPECT_TRUE(width >= c.size[0] && width <= c.size[1] && height >= c.size[2] &&
                    height <= c.size[3])
            << width << " x " << height;
        for (double at : {0.2, 1.0}) {
            SCOPED_TRACE(at);
            auto frame = reducedFrame(movie, at);
            ASSERT_TRUE(frame && frame->size() == 16 * 9 * 3);
            expectGreenBlue(*frame, 4 * 16 + 8, c.greenBlue[0], c.greenBlue[1]);
        }
        if (c.start["sourceKind"] == "area") {
            // [ms, fx, fy, type] in fractions of the area: its top-left corner while the
            // pointer was outside, then inside it.
            Json project = Json::parse(test::readFile(movie.string() + ".marlune.json"));
            const Json& path = project["cursorPath"];
            ASSERT_GT(path.size(), 10u) << project.dump();
            EXPECT_NEAR(path.front()[1].get<double>(), 0.0, 0.02);
            EXPECT_NEAR(path.front()[2].get<double>(), 0.0, 0.02);
            EXPECT_NEAR(path.back()[1].get<double>(), 100.0 / 320, 0.03);
            EXPECT_NEAR(path.back()[2].get<double>(), 48.0 / 180, 0.03);
            // The page says why zooms cannot follow typing there.
            EXPECT_EQ(project["missing"]["caretPath"], CaretTracker::kWaylandDisplayReason);
        }
        EXPECT_EQ(s.closeAndWait(), 0);
    }
}

}  // namespace
}  // namespace marlune
