#pragma once

// Shared by the desktop tests, which need a display (scripts/test provides one): without one they
// fail, never skipped.

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "app/app_delegate.h"
#include "app/main_window_controller.h"
#include "bridge/script_target.h"
#include "core/json.h"
#include "support/bridge_process.h"
#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune::test {

// A private home (settings, recordings folder and the web view's data all inside it) and an
// initialised toolkit.
class DesktopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        ASSERT_TRUE(display && *display)
            << "desktop tests need a display: run them through scripts/test (Xvfb)";
        // Before anything reads them: GLib keeps the first answer about the user's folders.
        ::setenv("HOME", home.path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "cannot open the display " << display;
    }

    TempDir home;
};

// Keeps every script the bridge sends and passes it on to the real page.
class TeePage : public ScriptTarget {
  public:
    explicit TeePage(std::shared_ptr<ScriptTarget> real) : real_(std::move(real)) {}

    void evaluateScript(const std::string& script) override {
        scripts.push_back(script);
        real_->evaluateScript(script);
    }

    // The envelopes of `kind` sent so far whose `key` is `value`, in order.
    std::vector<Json> sent(ScriptLine::Kind kind, const char* key, const std::string& value) const {
        std::vector<Json> found;
        for (const auto& s : scripts) {
            auto line = parseScriptLine(s);
            if (line.kind == kind && line.value.value(key, "") == value)
                found.push_back(line.value);
        }
        return found;
    }
    // The reply envelope sent for `id`, if any yet.
    std::optional<Json> reply(const std::string& id) const {
        auto r = sent(ScriptLine::Kind::reply, "id", id);
        return r.empty() ? std::nullopt : std::optional(r.front());
    }
    // The data of the events named `name` sent so far, in order.
    std::vector<Json> events(const std::string& name) const {
        std::vector<Json> data;
        for (auto& e : sent(ScriptLine::Kind::event, "name", name)) data.push_back(e["data"]);
        return data;
    }

    std::vector<std::string> scripts;

  private:
    std::shared_ptr<ScriptTarget> real_;
};

// The application object launched in this process as the desktop host launches it (main window
// and page), watched through a TeePage.
class AppTest : public DesktopTest {
  protected:
    void TearDown() override { app.reset(); }

    // Returns once the page has sent "app.ready"; the tee sees what follows.
    void launchDesktop() {
        app = AppDelegate::create({});
        app->applicationDidFinishLaunching([](MainWindowController&) {});
        ASSERT_TRUE(
            runMainUntil([&] { return app->bridge->pageReady(); }, std::chrono::seconds(30)))
            << "the starter page never sent app.ready";
        page = std::make_shared<TeePage>(app->windowController->page());
        app->bridge->setWebView(page);
    }

    void send(const std::string& id, const std::string& cmd, Json payload = Json::object()) {
        app->bridge->receive(Json{{"id", id}, {"cmd", cmd}, {"payload", std::move(payload)}});
    }
    // The reply to `id`, waited for.
    std::optional<Json> replyTo(const std::string& id,
                                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::optional<Json> found;
        runMainUntil([&] { return (found = page->reply(id)).has_value(); }, timeout);
        return found;
    }
    std::vector<Json> events(const std::string& name) const { return page->events(name); }

    std::shared_ptr<AppDelegate> app;
    std::shared_ptr<TeePage> page;
};

// Bytes that differ from position to position, and the checksum the test pages compute on them
// (the same sum in the page's script: sum = sum * 31 + byte, modulo 2^32).
inline std::string patterned(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return s;
}

inline std::uint32_t checksum(const std::string& bytes) {
    std::uint32_t sum = 0;
    for (unsigned char c : bytes) sum = sum * 31 + c;
    return sum;
}

// A file of tests/desktop/data: the test pages.
inline std::filesystem::path dataFile(const std::string& name) {
    return std::filesystem::path(MARLUNE_SOURCE_DIR) / "tests/desktop/data" / name;
}

// The toplevel windows of a GTK type that are showing.
inline std::vector<GtkWindow*> visibleWindowsOfType(GType type) {
    std::vector<GtkWindow*> found;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        auto* w = static_cast<GtkWidget*>(l->data);
        if (G_TYPE_CHECK_INSTANCE_TYPE(w, type) && gtk_widget_get_visible(w)) {
            found.push_back(GTK_WINDOW(w));
        }
    }
    g_list_free(all);
    return found;
}

}  // namespace marlune::test
