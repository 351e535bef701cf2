#include "app/stdio_host.h"

#include <csignal>
#include <memory>

#include <gio/gio.h>
#include <gio/gunixinputstream.h>
#include <glib-unix.h>
#include <unistd.h>

#include "app/app_delegate.h"
#include "core/queue.h"

namespace marlune {

namespace {

class StdoutPage : public ScriptTarget {
  public:
    void evaluateScript(const std::string& script) override {
        std::string line = script;
        line.push_back('\n');
        std::string_view rest = line;
        while (!rest.empty()) {
            ssize_t n = ::write(STDOUT_FILENO, rest.data(), rest.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // nobody reads any more; the reply is lost like a closed page's
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
    }
};

struct Host {
    std::shared_ptr<AppDelegate> app;
    std::shared_ptr<StdoutPage> page = std::make_shared<StdoutPage>();
    GMainLoop* loop = nullptr;
    GDataInputStream* input = nullptr;
    bool terminating = false;
    TimerHandle drainTimer;

    void quit() {
        if (terminating) return;
        terminating = true;
        drainTimer.cancel();
        app->applicationShouldTerminate([loop = loop] { g_main_loop_quit(loop); });
    }

    // End of input: answer what is still running, then quit.
    void finishInput() {
        if (app->bridge->outstandingReplies() == 0) {
            quit();
            return;
        }
        drainTimer = Queue::main().every(std::chrono::milliseconds(10), [this] {
            if (app->bridge->outstandingReplies() == 0) quit();
        });
    }

    void readNext() {
        g_data_input_stream_read_line_async(input, G_PRIORITY_DEFAULT, nullptr, &Host::lineRead,
                                            this);
    }

    static void lineRead(GObject* source, GAsyncResult* result, gpointer data) {
        auto* self = static_cast<Host*>(data);
        gsize length = 0;
        GError* error = nullptr;
        char* line = g_data_input_stream_read_line_finish(G_DATA_INPUT_STREAM(source), result,
                                                          &length, &error);
        if (!line) {
            g_clear_error(&error);
            self->finishInput();
            return;
        }
        if (!self->terminating) self->app->bridge->receiveText(std::string_view(line, length));
        g_free(line);
        self->readNext();
    }
};

gboolean onSignal(gpointer data) {
    static_cast<Host*>(data)->quit();
    return G_SOURCE_CONTINUE;
}

}  // namespace

int runStdioBridge(const std::vector<std::string>& args) {
    std::signal(SIGPIPE, SIG_IGN);
    Host host;
    host.app = AppDelegate::create(args);
    host.app->terminate = [&host] { host.quit(); };
    host.loop = g_main_loop_new(nullptr, FALSE);

    host.app->applicationDidFinishLaunching(host.page);

    GInputStream* in = g_unix_input_stream_new(STDIN_FILENO, FALSE);
    host.input = g_data_input_stream_new(in);
    g_object_unref(in);
    g_data_input_stream_set_newline_type(host.input, G_DATA_STREAM_NEWLINE_TYPE_LF);
    host.readNext();

    guint sigint = g_unix_signal_add(SIGINT, onSignal, &host);
    guint sigterm = g_unix_signal_add(SIGTERM, onSignal, &host);
    g_main_loop_run(host.loop);
    g_source_remove(sigint);
    g_source_remove(sigterm);

    g_object_unref(host.input);
    g_main_loop_unref(host.loop);
    return 0;
}

}  // namespace marlune
