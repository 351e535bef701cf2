// The main window on a real display: bar mode, chrome, closing, and the scheme as the web view
// uses it.

#include "app/main_window_controller.h"

#include <fcntl.h>
#include <unistd.h>

#include <webkit2/webkit2.h>

#include "bridge/marlune_scheme_handler.h"
#include "bridge/web_bridge.h"
#include "desktop_test.h"

namespace marlune {

void PrintTo(const Frame& f, std::ostream* out) {
    *out << "(" << f.x << ", " << f.y << ", " << f.width << " x " << f.height << ")";
}

namespace {

namespace fs = std::filesystem;
using test::runMainFor;
using test::runMainUntil;
using test::writeFile;

class MainWindowTest : public test::DesktopTest {
  protected:
    void SetUp() override {
        DesktopTest::SetUp();
        if (HasFatalFailure()) return;
        writeFile(root / "index.html", "<!doctype html><title>test</title>");
        handler = std::make_shared<MarluneSchemeHandler>(MarluneSchemeHandler::Locations{
            .webRoot = [this]() -> std::optional<fs::path> { return root; },
            .mediaFolder = [this] { return home / "media"; },
        });
        bridge->registerHandler("test.report", [this](const Json& payload, WebBridge::Reply r) {
            report = payload;
            r(Json::object());
        });
        controller = std::make_unique<MainWindowController>(bridge, handler);
        bridge->setWebView(controller->page());
    }

    void TearDown() override { controller.reset(); }

    // Where the window system says the window is (y downwards).
    Frame actualFrame() const {
        int x, y, w, h;
        gtk_window_get_position(controller->window(), &x, &y);
        gtk_window_get_size(controller->window(), &w, &h);
        return {double(x), double(y), double(w), double(h)};
    }

    bool settlesAt(const Frame& expected) {
        return runMainUntil([&] { return actualFrame() == expected; }, std::chrono::seconds(5));
    }

    // What the window manager records about the window: its _NET_WM_STATE atoms.
    std::vector<std::string> wmState() const {
        std::vector<std::string> names;
        GdkAtom type;
        gint format = 0, length = 0;
        guchar* data = nullptr;
        if (gdk_property_get(gtk_widget_get_window(GTK_WIDGET(controller->window())),
                             gdk_atom_intern_static_string("_NET_WM_STATE"),
                             gdk_atom_intern_static_string("ATOM"), 0, 1024, FALSE, &type, &format,
                             &length, &data)) {
            auto* atoms = reinterpret_cast<GdkAtom*>(data);
            for (std::size_t i = 0; i < length / sizeof(GdkAtom); ++i) {
                gchar* name = gdk_atom_name(atoms[i]);
                names.push_back(name);
                g_free(name);
            }
            g_free(data);
        }
        return names;
    }

    bool keptAbove() const {
        auto state = wmState();
        return std::find(state.begin(), state.end(), "_NET_WM_STATE_ABOVE") != state.end();
    }

    bool hasStyleClass(const char* name) const {
        return gtk_style_context_has_class(
            gtk_widget_get_style_context(GTK_WIDGET(controller->window())), name);
    }

    GdkRGBA viewBackground() const {
        GdkRGBA c;
        webkit_web_view_get_background_color(controller->webView(), &c);
        return c;
    }

    fs::path root = home / "web";
    std::shared_ptr<WebBridge> bridge = std::make_shared<WebBridge>();
    std::shared_ptr<MarluneSchemeHandler> handler;
    std::unique_ptr<MainWindowController> controller;
    std::optional<Json> report;
};

TEST_F(MainWindowTest, StartsDarkBarModeShapesItClosingHidesIt) {
    GtkWindow* window = controller->window();
    EXPECT_STREQ(gtk_window_get_title(window), "Marlune Studio");
    EXPECT_TRUE(controller->dark());
    EXPECT_TRUE(hasStyleClass("chrome-dark"));
    EXPECT_EQ(viewBackground().alpha, 1.0);
    EXPECT_STREQ(webkit_web_view_get_uri(controller->webView()), "marlune://app/index.html");
    EXPECT_NE(gtk_widget_get_visual(GTK_WIDGET(window)),
              gdk_screen_get_system_visual(gtk_widget_get_screen(GTK_WIDGET(window))))
        << "the RGBA visual is chosen before the window is realized";

    controller->show();
    ASSERT_TRUE(runMainUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); }));
    ASSERT_TRUE(runMainUntil([&] {
        return actualFrame().width == MainWindowController::kInitialWidth &&
               actualFrame().height == MainWindowController::kInitialHeight;
    }));
    controller->setChrome(false);
    EXPECT_TRUE(hasStyleClass("chrome-light"));
    EXPECT_FALSE(hasStyleClass("chrome-dark"));

    // Bar mode shapes the real window.
    runMainFor(std::chrono::milliseconds(200));
    const Frame appFrame = actualFrame();

    // Nothing outside bar mode.
    controller->moveBar(40, 40);
    runMainFor(std::chrono::milliseconds(200));
    EXPECT_EQ(actualFrame(), appFrame);

    // On, without a size: borderless and floating, the frame untouched.
    controller->setBarMode(true);
    EXPECT_TRUE(controller->isBarMode());
    EXPECT_FALSE(gtk_window_get_decorated(window));
    ASSERT_TRUE(runMainUntil([&] { return keptAbove(); })) << "kept above other windows";
    EXPECT_EQ(viewBackground().alpha, 0.0);
    EXPECT_TRUE(hasStyleClass("bar"));
    EXPECT_FALSE(controller->barPlaced());

    // The first size places the bar at the bottom centre of the work area.
    GdkRectangle area;
    gdk_monitor_get_workarea(
        gdk_display_get_monitor_at_window(gdk_display_get_default(),
                                          gtk_widget_get_window(GTK_WIDGET(window))),
        &area);
    const double x = std::round(area.x + area.width / 2.0 - 210);
    const double y = area.y + area.height - 96 - 64;
    controller->setBarMode(true, 420, 64);
    EXPECT_TRUE(settlesAt({x, y, 420, 64})) << "at " << ::testing::PrintToString(actualFrame());

    // A new size keeps the centre and the bottom edge.
    controller->setBarMode(true, 300, 80);
    EXPECT_TRUE(settlesAt({x + 60, y - 16, 300, 80}))
        << "at " << ::testing::PrintToString(actualFrame());

    // Dragging: the page's y grows downwards, like the screen's.
    controller->moveBar(-25, 30);
    controller->moveBar(5, -10);
    EXPECT_TRUE(settlesAt({x + 40, y + 4, 300, 80}))
        << "at " << ::testing::PrintToString(actualFrame());

    // Light chrome in bar mode keeps the clear background.
    controller->setChrome(false);
    EXPECT_FALSE(controller->dark());
    EXPECT_EQ(viewBackground().alpha, 0.0);
    EXPECT_TRUE(hasStyleClass("bar"));

    // Off: the window comes back where it was, with its title bar and light chrome.
    controller->setBarMode(false);
    EXPECT_FALSE(controller->isBarMode());
    EXPECT_TRUE(gtk_window_get_decorated(window));
    EXPECT_TRUE(settlesAt(appFrame)) << "at " << ::testing::PrintToString(actualFrame());
    EXPECT_TRUE(runMainUntil([&] { return !keptAbove(); }));
    EXPECT_FALSE(hasStyleClass("bar"));
    EXPECT_EQ(viewBackground().alpha, 1.0);

    // Closing hides the window while recording; otherwise it ends the application, the window
    // kept, only hidden.
    bool recording = true;
    int closed = 0;
    controller->isRecordingProvider = [&] { return recording; };
    controller->onClosed = [&] { ++closed; };
    for (int ends : {0, 1}) {
        ASSERT_TRUE(runMainUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); }));
        recording = ends == 0;
        gtk_window_close(window);
        ASSERT_TRUE(runMainUntil([&] { return !controller->isVisible() && closed == ends; }));
        controller->show();
    }
    EXPECT_TRUE(GTK_IS_WINDOW(window));
}

TEST_F(MainWindowTest, AbortedDownloadsStopTheirTasks) {
    // Far larger than could be read in the time allowed: only a stop ends its task quickly.
    const fs::path huge = root / "huge.bin";
    int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t(4) << 30), 0);
    ::close(fd);
    writeFile(root / "small.txt", "still served");
    fs::copy_file(test::dataFile("abort_download.html"), root / "index.html",
                  fs::copy_options::overwrite_existing);
    controller->reloadFromOrigin();
    ASSERT_TRUE(runMainUntil([&] { return report.has_value(); }, std::chrono::seconds(30)));
    EXPECT_FALSE(report->contains("error")) << report->dump();
    EXPECT_EQ((*report)["status"], 200);
    EXPECT_EQ((*report)["length"], "4294967296");
    EXPECT_GT((*report)["first"].get<int>(), 0);
    EXPECT_EQ((*report)["aborted"], "AbortError");
    EXPECT_EQ((*report)["after"], "still served");
    EXPECT_TRUE(
        runMainUntil([&] { return handler->pendingTaskCount() == 0; }, std::chrono::seconds(10)))
        << "the aborted download's task is still being served";
}

}  // namespace
}  // namespace marlune
