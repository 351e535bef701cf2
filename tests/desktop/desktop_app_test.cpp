// The application object's desktop launch, driven by real pages in the web view.

#include <cstdlib>

#include <webkit2/webkit2.h>

#include "app/app_delegate.h"
#include "app/main_window_controller.h"
#include "core/paths.h"
#include "desktop_test.h"
#include "library/recordings_library.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::runMainFor;
using test::runMainUntil;
using test::TeePage;
using test::writeFile;

class DesktopAppTest : public test::DesktopTest {
  protected:
    void TearDown() override { app.reset(); }

    // Launches as the desktop host does, after the test has prepared the home folder.
    void launch() {
        app = AppDelegate::create({});
        app->applicationDidFinishLaunching([](MainWindowController&) {});
        app->bridge->registerHandler("test.report",
                                     [this](const Json& payload, WebBridge::Reply reply) {
                                         report = payload;
                                         reply(Json::object());
                                     });
    }

    // Watches the bridge's scripts from now on; the page still gets them.
    void tee() {
        page = std::make_shared<TeePage>(app->windowController->page());
        app->bridge->setWebView(page);
    }

    std::optional<Json> replyTo(const std::string& id) {
        std::optional<Json> found;
        runMainUntil([&] { return (found = page->reply(id)).has_value(); },
                     std::chrono::seconds(10));
        return found;
    }

    void send(const std::string& id, const std::string& cmd, Json payload = Json::object()) {
        app->bridge->receive(Json{{"id", id}, {"cmd", cmd}, {"payload", std::move(payload)}});
    }

    // Runs a script in the page; its value as text, or nothing when it failed.
    std::optional<std::string> evaluate(const std::string& script) {
        struct Result {
            bool done = false;
            std::optional<std::string> text;
        } result;
        webkit_web_view_evaluate_javascript(
            app->windowController->webView(), script.c_str(), -1, nullptr, nullptr, nullptr,
            +[](GObject* view, GAsyncResult* async, gpointer data) {
                auto* r = static_cast<Result*>(data);
                JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view),
                                                                             async, nullptr);
                if (value) {
                    gchar* text = jsc_value_to_string(value);
                    r->text = text;
                    g_free(text);
                    g_object_unref(value);
                }
                r->done = true;
            },
            &result);
        runMainUntil([&] { return result.done; }, std::chrono::seconds(10));
        return result.text;
    }

    bool pageShows(const std::string& script, const std::string& expected) {
        return runMainUntil([&] { return evaluate(script) == expected; }, std::chrono::seconds(10));
    }

    std::shared_ptr<AppDelegate> app;
    std::shared_ptr<TeePage> page;
    std::optional<Json> report;
};

TEST_F(DesktopAppTest, PageFetchesThroughTheSchemeAndPlaysOverLoopback) {
    const fs::path devRoot = home / "dev-web";
    fs::create_directories(devRoot);
    fs::copy_file(test::dataFile("end_to_end.html"), devRoot / "index.html");
    const std::string data = test::patterned(300);
    const std::string big = test::patterned(3'500'017);
    writeFile(devRoot / "data.bin", data);
    writeFile(devRoot / "big.bin", big);
    writeFile(home / "secret.txt", "outside");
    writeFile(paths::defaultsFile(), Json{{"DevWebRoot", devRoot.string()}}.dump());

    const fs::path clip = RecordingsLibrary::dirURL() / "clip one.mp4";
    fs::create_directories(clip.parent_path());
    std::string make =
        "ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30 -t 1 "
        "-pix_fmt yuv420p -c:v libx264 -movflags +faststart '" +
        clip.string() + "'";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;

    launch();
    ASSERT_TRUE(runMainUntil([&] { return report.has_value(); }, std::chrono::seconds(90)))
        << "the test page never reported";
    const Json& r = *report;
    SCOPED_TRACE(r.dump(2));
    EXPECT_FALSE(r.contains("error"));
    EXPECT_TRUE(r["mediaBaseURL"].get<std::string>().starts_with("http://127.0.0.1:"));

    EXPECT_EQ(r["whole"]["status"], 200);
    EXPECT_EQ(r["whole"]["type"], "application/octet-stream");
    EXPECT_EQ(r["whole"]["length"], 300);
    EXPECT_EQ(r["whole"]["sum"], test::checksum(data));

    EXPECT_EQ(r["range"]["status"], 206);
    EXPECT_EQ(r["range"]["contentRange"], "bytes 10-19/300");
    Json expectedBytes = Json::array();
    for (int i = 10; i < 20; ++i) expectedBytes.push_back(static_cast<unsigned char>(data[i]));
    EXPECT_EQ(r["range"]["bytes"], expectedBytes);

    EXPECT_EQ(r["big"]["status"], 200);
    EXPECT_EQ(r["big"]["length"], big.size());
    EXPECT_EQ(r["big"]["sum"], test::checksum(big));

    EXPECT_EQ(r["missing"], 404);
    EXPECT_EQ(r["outside"], 404);
    EXPECT_EQ(r["unsatisfiable"], 416);

    EXPECT_EQ(r["video"]["why"], "loadeddata");
    EXPECT_GE(r["video"]["readyState"].get<int>(), 2);
    EXPECT_EQ(r["video"]["width"], 320);
}

TEST_F(DesktopAppTest, WindowCommandsReplyFirstThenAct) {
    launch();
    ASSERT_TRUE(runMainUntil([&] { return app->bridge->pageReady(); }, std::chrono::seconds(30)))
        << "the starter page never sent app.ready";
    tee();
    MainWindowController& window = *app->windowController;

    send("b1", "app.setBarMode", {{"on", true}, {"w", 420}, {"h", 64}});
    EXPECT_EQ(page->reply("b1"), (Json{{"id", "b1"}, {"ok", true}, {"result", Json::object()}}));
    EXPECT_FALSE(window.isBarMode()) << "the reply goes out before the window changes";
    ASSERT_TRUE(runMainUntil([&] { return window.barPlaced(); }));
    const Frame placed = window.frame();

    send("m1", "app.moveBar", {{"dx", 12}, {"dy", "not a number"}});
    ASSERT_TRUE(replyTo("m1"));
    ASSERT_TRUE(runMainUntil([&] { return window.frame().x == placed.x + 12; }));
    EXPECT_EQ(window.frame().y, placed.y);

    send("c1", "app.setChrome", {{"dark", false}});
    ASSERT_TRUE(replyTo("c1"));
    ASSERT_TRUE(runMainUntil([&] { return !window.dark(); }));
    send("c2", "app.setChrome", {{"dark", 1}});  // not a Bool: the default, light
    ASSERT_TRUE(replyTo("c2"));
    runMainFor(std::chrono::milliseconds(50));
    EXPECT_FALSE(window.dark());

    send("b2", "app.setBarMode");
    ASSERT_TRUE(replyTo("b2"));
    ASSERT_TRUE(runMainUntil([&] { return !window.isBarMode(); }));
}

TEST_F(DesktopAppTest, ConfirmAsksOverTheWindow) {
    launch();
    ASSERT_TRUE(runMainUntil([&] { return app->bridge->pageReady(); }, std::chrono::seconds(30)));
    tee();
    GtkWindow* mainWindow = app->windowController->window();
    ASSERT_TRUE(runMainUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(mainWindow)); }));

    auto openDialog = [&]() -> GtkWindow* {
        GtkWindow* found = nullptr;
        runMainUntil([&] {
            auto dialogs = test::visibleWindowsOfType(GTK_TYPE_MESSAGE_DIALOG);
            found = dialogs.empty() ? nullptr : dialogs.front();
            return found && gtk_widget_get_mapped(GTK_WIDGET(found));
        });
        return found;
    };
    // The dialog's title, message and button labels, in order.
    auto shown = [](GtkWindow* dialog) {
        std::vector<std::string> texts;
        for (const char* property : {"text", "secondary-text"}) {
            gchar* value = nullptr;
            g_object_get(dialog, property, &value, nullptr);
            texts.push_back(value ? value : "");
            g_free(value);
        }
        GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
        GList* buttons = gtk_container_get_children(GTK_CONTAINER(gtk_widget_get_parent(ok)));
        for (GList* b = buttons; b; b = b->next) {
            texts.push_back(gtk_button_get_label(GTK_BUTTON(b->data)));
        }
        g_list_free(buttons);
        return texts;
    };
    auto answer = [&](const std::string& id) { return replyTo(id).value_or(Json())["result"]; };
    using Texts = std::vector<std::string>;

    // No payload: the defaults; Escape answers no.
    send("q1", "app.confirm");
    GtkWindow* dialog = openDialog();
    ASSERT_TRUE(dialog);
    EXPECT_FALSE(page->reply("q1")) << "the answer waits for the user";
    EXPECT_EQ(shown(dialog), (Texts{"Are you sure?", "", "OK", "Cancel"}));
    EXPECT_EQ(gtk_window_get_transient_for(dialog), mainWindow);
    EXPECT_TRUE(gtk_window_get_modal(dialog));
    // A real key press, through the X server to the focused dialog.
    ASSERT_TRUE(runMainUntil([&] { return gtk_window_has_toplevel_focus(dialog); }));
    ASSERT_EQ(std::system("xdotool key Escape"), 0);
    EXPECT_EQ(answer("q1"), (Json{{"ok", false}}));

    // The page's texts; its first button answers yes.
    send("q2", "app.confirm",
         {{"title", "Delete this recording?"},
          {"message", "It goes to the trash."},
          {"okLabel", "Move_to Trash"}});
    dialog = openDialog();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(shown(dialog), (Texts{"Delete this recording?", "It goes to the trash.",
                                    "Move_to Trash", "Cancel"}));
    gtk_button_clicked(
        GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK)));
    EXPECT_EQ(answer("q2"), (Json{{"ok", true}}));

    // With the window hidden the dialog stands alone, modal to the application; closing it
    // answers no.
    app->windowController->hideForRecording();
    send("q3", "app.confirm", {{"title", 5}});
    dialog = openDialog();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(shown(dialog)[0], "Are you sure?");
    EXPECT_EQ(gtk_window_get_transient_for(dialog), nullptr);
    EXPECT_TRUE(gtk_window_get_modal(dialog));
    gtk_window_close(dialog);
    EXPECT_EQ(answer("q3"), (Json{{"ok", false}}));
}

TEST_F(DesktopAppTest, ReloadKeepsThePageReady) {
    launch();
    ASSERT_TRUE(runMainUntil([&] { return app->bridge->pageReady(); }, std::chrono::seconds(30)));
    tee();
    auto readyReplies = [&] {
        return std::count_if(page->scripts.begin(), page->scripts.end(), [](const auto& s) {
            return s.find("\"mediaBaseURL\"") != std::string::npos;
        });
    };
    app->reloadUI();
    ASSERT_TRUE(runMainUntil([&] { return readyReplies() == 1; }, std::chrono::seconds(30)))
        << "the reloaded page announces itself again";
    EXPECT_TRUE(app->bridge->pageReady());
    app->bridge->emit("notice", Json{{"message", "still listening"}});
    EXPECT_EQ(page->scripts.back(),
              R"(window.__marluneEvent({"name":"notice","data":{"message":"still listening"}}))");
}

TEST_F(DesktopAppTest, StarterPageShowsAndSavesSettings) {
    launch();
    ASSERT_TRUE(runMainUntil([&] { return app->bridge->pageReady(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(pageShows("document.getElementById('version').textContent", "v0.1.0"));
    ASSERT_TRUE(pageShows("document.getElementById('setting-fps').value", "30"));

    // A changed control is saved at once...
    evaluate(R"js(
        const fps = document.getElementById('setting-fps');
        fps.value = '60';
        fps.dispatchEvent(new Event('change'));
    )js");
    ASSERT_TRUE(runMainUntil([&] { return app->settings->fps() == 60; }));
    EXPECT_TRUE(pageShows("document.getElementById('setting-fps').value", "60"));

    evaluate(R"js(
        const mic = document.getElementById('setting-micEnabled');
        mic.checked = false;
        mic.dispatchEvent(new Event('change'));
    )js");
    ASSERT_TRUE(runMainUntil([&] { return !app->settings->micEnabled(); }));

    // ...and the form shows what the application stored, not what was asked for.
    app->settings->setCapHeight(1234);
    evaluate(R"js(
        const zoom = document.getElementById('setting-webcamZoom');
        zoom.value = '1.5';
        zoom.dispatchEvent(new Event('change'));
    )js");
    ASSERT_TRUE(runMainUntil([&] { return app->settings->webcamZoom() == 1.5; }));
    EXPECT_TRUE(pageShows("document.getElementById('setting-capHeight').value", "1234"));
    EXPECT_TRUE(pageShows("document.getElementById('setting-micEnabled').checked", "false"));
}

}  // namespace
}  // namespace marlune
