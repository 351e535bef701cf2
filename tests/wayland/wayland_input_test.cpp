// The Wayland session's hot key, permissions, caret and countdown, through the real program where
// it matters: `marlune --stdio-bridge` inside scripts/with-wayland, whose portal stand-in binds
// global shortcuts and fires them on request. Skipped outside a Wayland session.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/countdown_overlay_controller.h"
#include "app/desktop_integration.h"
#include "core/queue.h"
#include "recording/caret_tracker.h"
#include "support/bridge_process.h"
#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::BridgeProcess;

class WaylandInputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("WAYLAND_DISPLAY")) GTEST_SKIP() << "needs scripts/with-wayland";
    }
};

// Fires the shortcut `id` through the stand-in; answers how many sessions held it.
unsigned activate(const char* id) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return 0;
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

// Reads the program's output until the event `name` arrives or `timeout` passes.
bool waitForEvent(BridgeProcess& p, const std::string& name, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (const auto& e : p.events)
        if (e["name"] == name) return true;
    while (std::chrono::steady_clock::now() < deadline) {
        auto line = p.readLine(200ms);
        if (!line) continue;
        auto parsed = test::parseScriptLine(*line);
        if (parsed.kind != test::ScriptLine::Kind::event) continue;
        p.events.push_back(parsed.value);
        if (parsed.value["name"] == name) return true;
    }
    return false;
}

TEST_F(WaylandInputTest, TheHotKeyComesThroughTheDesktopsShortcuts) {
    test::TempDir home;
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("ready", "app.ready"));
    // The program binds the shortcut once it has launched; until then nothing holds it.
    auto deadline = std::chrono::steady_clock::now() + 20s;
    unsigned held = 0;
    while (!held && std::chrono::steady_clock::now() < deadline) {
        held = activate("record");
        if (!held) p.readLine(100ms);
    }
    ASSERT_EQ(held, 1u) << "the program bound no shortcut named \"record\"";
    // No recording runs: the press brings the window forward and asks the page to record.
    EXPECT_TRUE(waitForEvent(p, "hotkeyRecord", 20s));

    auto status = p.request("status", "permissions.status");
    ASSERT_TRUE(status);
    const Json& s = (*status)["result"];
    EXPECT_EQ(s["session"], "wayland");
    EXPECT_EQ(s["hotkey"], "granted");
    EXPECT_TRUE(s["inputDevices"] == "granted" || s["inputDevices"] == "denied" ||
                s["inputDevices"] == "notDetermined")
        << s.dump();
    EXPECT_EQ(p.closeAndWait(), 0);
}

TEST_F(WaylandInputTest, WithoutTheShortcutsPortalTheProgramSaysSo) {
    test::TempDir home;
    auto log = home.path() / "stderr.txt";
    // No session bus at all: no portal of any kind answers.
    BridgeProcess p({.home = home.path(),
                     .env = {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}},
                     .stderrFile = log});
    ASSERT_TRUE(p.request("ready", "app.ready"));
    auto status = p.request("status", "permissions.status");
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["result"]["hotkey"], "denied");
    EXPECT_EQ(p.closeAndWait(), 0);
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    EXPECT_NE(text.str().find("Control+Shift+2 is not available"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("tray icon or the recording bar"), std::string::npos);
}

// The accessibility interface answers in the focused window's own pixels on Wayland.
class WindowCaret : public CaretTracker::CaretSource {
  public:
    explicit WindowCaret(atspi::ScreenRect r) : rect_(r) {}
    std::optional<atspi::ScreenRect> caretRect() override { return rect_; }

  private:
    atspi::ScreenRect rect_;
};

TEST_F(WaylandInputTest, TheCaretIsFollowedInWindowsOnly) {
    const atspi::ScreenRect rect{199, 90, 2, 20};  // middle at (200, 100)
    CaretTracker tracker([rect] { return std::make_unique<WindowCaret>(rect); });
    auto clock = []() -> std::optional<double> { return 1000.0; };

    tracker.start(0, clock);
    test::runMainFor(CaretTracker::kFirstSampleDelay + 3 * CaretTracker::kSampleInterval);
    EXPECT_EQ(tracker.sampleCount(), 0u) << "a display recording has no caret place";
    EXPECT_EQ(tracker.missingReason(), std::string(CaretTracker::kWaylandDisplayReason));

    tracker.startInWindow(800, 400, clock);
    EXPECT_EQ(tracker.missingReason(), std::nullopt);
    ASSERT_TRUE(test::runMainUntil([&] { return tracker.sampleCount() > 0; }, 10s));
    tracker.stop();
    EXPECT_EQ(tracker.pathJSON()[0], Json::array({1000, 0.25, 0.25}));
}

TEST_F(WaylandInputTest, TheCountdownIsAnOrdinaryFullScreenWindow) {
    ASSERT_TRUE(ensureToolkit());
    CountdownOverlayController overlay;
    overlay.show(3, std::nullopt);
    ASSERT_TRUE(overlay.isShowing()) << "no window under the Wayland back end";
    EXPECT_TRUE(overlay.hasVeil());
    // The compositor decides the size: full screen on the session's one 1280 x 720 monitor.
    GtkWidget* w = GTK_WIDGET(overlay.window());
    EXPECT_TRUE(test::runMainUntil(
        [&] {
            return gtk_widget_get_mapped(w) && gtk_widget_get_allocated_width(w) == 1280 &&
                   gtk_widget_get_allocated_height(w) == 720;
        },
        10s));
    overlay.show(2, std::nullopt);
    EXPECT_EQ(overlay.text(), "2");
    overlay.hide();
    EXPECT_FALSE(overlay.isShowing());
}

}  // namespace
}  // namespace marlune
