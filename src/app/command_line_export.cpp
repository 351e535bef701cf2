#include "app/command_line_export.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>

#include "app/command_line_export_options.h"
#include "app/editor_looks.h"
#include "app/export_edit_payload.h"
#include "bridge/marlune_scheme_handler.h"
#include "core/key_value_store.h"
#include "core/paths.h"
#include "core/queue.h"
#include "library/edit_document.h"
#include "library/project_store.h"
#include "library/recordings_library.h"
#include "platform/media/live_movie.h"
#include "platform/media/media_file.h"
#include "render/export/export_renderer.h"

namespace marlune {

namespace fs = std::filesystem;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void say(const std::string& message) {
    std::string line = "marlune export: " + message + "\n";
    std::fputs(line.c_str(), stderr);
}

// ---- Progress --------------------------------------------------------------------------------

// A bar redrawn in place on a terminal; elsewhere (a log, a pipe) one line per percent.
class ProgressReport {
  public:
    ProgressReport(std::string label, bool quiet)
        : label_(std::move(label)), quiet_(quiet), terminal_(::isatty(STDERR_FILENO) == 1) {}

    void show(int percent) {
        if (quiet_ || percent <= last_) return;
        if (!terminal_) {
            // Every percentage once, also those the export passed between two reports, so that
            // a reader can count on them.
            for (int p = last_ + 1; p <= percent; ++p) {
                std::fprintf(stderr, "%s: %d%%\n", label_.c_str(), p);
            }
            last_ = percent;
            return;
        }
        last_ = percent;
        constexpr int kBar = 30;
        const int filled = percent * kBar / 100;
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(kBar - filled), '.');
        // The name gives way to the bar on a narrow terminal.
        std::string label = label_;
        winsize ws{};
        if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
            const std::size_t room = ws.ws_col > kBar + 10 ? ws.ws_col - kBar - 10 : 0;
            if (label.size() > room) label = room > 1 ? label.substr(0, room - 1) + "~" : "";
        }
        std::fprintf(stderr, "\r\033[K%s [%s] %3d%%", label.c_str(), bar.c_str(), percent);
        barShown_ = true;
    }

    // Ends the bar's line, so that what follows starts on its own.
    void end() {
        if (barShown_) std::fputc('\n', stderr);
        barShown_ = false;
    }

  private:
    const std::string label_;
    const bool quiet_;
    const bool terminal_;
    int last_ = -1;
    bool barShown_ = false;
};

// ---- Files -----------------------------------------------------------------------------------

// The whole of a file (or standard input for "-"), up to `limit` bytes.
Result<std::string> readWhole(const std::string& path, std::uint64_t limit) {
    int fd = path == "-" ? ::dup(STDIN_FILENO) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(std::strerror(errno));
    std::string text;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            return fail(std::strerror(err));
        }
        if (n == 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
        if (text.size() > limit) {
            ::close(fd);
            return fail("it is larger than " + std::to_string(limit >> 20) + " MB");
        }
    }
    ::close(fd);
    return text;
}

// The first wallpaper the page offers, which the editor's default edit shows.
std::string firstWallpaper(const std::optional<fs::path>& webRoot) {
    const std::string fallback = "aurora";
    if (!webRoot) return fallback;
    auto text = readWhole((*webRoot / "wallpapers/index.json").string(), 1 << 20);
    if (!text) return fallback;
    auto index = parseJson(*text);
    if (!index) return fallback;
    const Json* list = readArray(*index, "wallpapers");
    if (!list) return fallback;
    for (const Json& w : *list) {
        if (auto id = readString(w, "id"); id && readString(w, "thumb")) return *id;
    }
    return fallback;
}

struct Recording {
    std::string name;  // inside the recordings folder
    std::int64_t durationMs = 0;
    int height = 0;
};

// NAME as a recording of the folder: a name inside it, or a path that leads there.
Result<std::string> recordingName(const std::string& arg) {
    const fs::path folder = RecordingsLibrary::dirURL();
    auto refused = [&](const FolderFileError& e) -> Result<std::string> {
        switch (e.kind) {
            case FolderFileError::Kind::missing:
                return fail("no recording " + curlyQuoted(arg) + " in " + folder.string());
            case FolderFileError::Kind::outside:
                return fail(curlyQuoted(arg) + " leads out of the recordings folder (" +
                            folder.string() + ")");
            case FolderFileError::Kind::notRegular:
                return fail(curlyQuoted(arg) + " is not a movie file");
            case FolderFileError::Kind::unreadable:
                break;
        }
        return fail("cannot read " + curlyQuoted(arg) + ": " + e.message());
    };
    std::optional<FolderFileError> asName;
    if (auto location = RecordingsLibrary::safeLocation(arg)) {
        auto opened = location->open();
        if (opened) return arg;
        asName = opened.error();
        if (asName->kind != FolderFileError::Kind::missing) return refused(*asName);
    }
    // A path, as a shell completes it: relative to the working folder, or absolute.
    std::error_code ec;
    const fs::path absolute = fs::absolute(fs::path(arg), ec).lexically_normal();
    if (!ec && fs::exists(fs::symlink_status(absolute, ec))) {
        const fs::path parent = fs::canonical(absolute.parent_path(), ec);
        const fs::path home = fs::canonical(folder, ec);
        if (!ec) {
            const fs::path relative = (parent / absolute.filename()).lexically_relative(home);
            if (!relative.empty() && *relative.begin() != ".." && relative != ".") {
                if (auto location = RecordingsLibrary::safeLocation(relative.string())) {
                    auto opened = location->open();
                    if (opened) return relative.string();
                    return refused(opened.error());
                }
            }
        }
        return fail(curlyQuoted(arg) + " is not in the recordings folder (" + folder.string() +
                    "): only recordings there can be exported; move or copy it there first");
    }
    return refused(asName.value_or(FolderFileError{FolderFileError::Kind::missing, ENOENT}));
}

// The recording's length and height, read as the library and the editor read them; refuses a
// movie that is still being recorded, or that a crash cut short and the app has not finished.
Result<Recording> probeRecording(const std::string& name) {
    auto location = RecordingsLibrary::safeLocation(name);
    if (!location) return fail("Invalid file name.");
    auto opened = location->open();
    if (!opened) return fail("cannot read " + curlyQuoted(name) + ": " + opened.error().message());
    switch (liveMovieState(opened->procPath())) {
        case LiveMovieState::inUse:
            return fail(curlyQuoted(name) +
                        " is still being recorded; export it once it has stopped");
        case LiveMovieState::unfinished:
            return fail(curlyQuoted(name) +
                        " was cut short by a crash and is not finished yet; "
                        "start Marlune Studio once to recover it");
        case LiveMovieState::notLive:
            break;
    }
    Recording r;
    r.name = name;
    auto file = MediaFile::open(opened->procPath());
    if (file) {
        auto duration = file->durationSeconds();
        if (duration && std::fabs(*duration) < 9.0e12) {
            r.durationMs = static_cast<std::int64_t>(std::trunc(*duration * 1000.0));
        }
        auto video = file->tracks(TrackKind::video);
        if (!video.empty()) r.height = video.front().height;
    }
    if (!file || r.durationMs <= 0 || r.height <= 0) {
        return fail(curlyQuoted(name) + " can’t be read. It may be damaged, or not a movie.");
    }
    return r;
}

// Where --out may write: nothing there yet (not even a dangling link), in a folder that exists.
Result<fs::path> checkOutput(const std::string& out) {
    std::error_code ec;
    fs::path path = fs::absolute(fs::path(out), ec);
    if (ec) return fail("cannot use --out " + curlyQuoted(out) + ": " + ec.message());
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        return fail(curlyQuoted(out) +
                    " already exists; not replacing it (choose another --out, or "
                    "remove it first)");
    }
    if (out.ends_with('/')) return fail("--out names a file, not a folder: " + curlyQuoted(out));
    const fs::path parent = path.parent_path();
    if (!fs::is_directory(parent, ec)) {
        return fail("cannot write " + curlyQuoted(out) + ": its folder " +
                    curlyQuoted(parent.string()) + " does not exist");
    }
    if (::access(parent.c_str(), W_OK) != 0) {
        return fail("cannot write " + curlyQuoted(out) + ": " + std::strerror(errno));
    }
    return path;
}

// Gives `to` the new name, or fails with ErrorCode::nameTaken when something exists there: never
// replaces.
Result<void> linkWithoutReplacing(const fs::path& from, const fs::path& to, int& err) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
    err = errno;
    if (err == EEXIST) return fail("taken", ErrorCode::nameTaken);
    if (err == EINVAL || err == ENOSYS || err == ENOTSUP) {
        // A file system without the flag: a second name, then the first one goes.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return {};
        }
        err = errno;
        if (err == EEXIST) return fail("taken", ErrorCode::nameTaken);
    }
    return fail(std::strerror(err));
}

// Moves the finished movie `from` to `to`, never replacing a file there. Across file systems it
// is copied under a hidden name beside `to`, made durable and named only once whole; `cancelled`
// stops the copy, which then leaves nothing at `to`. Fails with ErrorCode::nameTaken,
// ErrorCode::cancelled or the system's text; `from` stays unless the move succeeded.
Result<void> moveWithoutReplacing(const fs::path& from, const fs::path& to,
                                  const std::atomic<bool>& cancelled) {
    int err = 0;
    auto moved = linkWithoutReplacing(from, to, err);
    if (moved || moved.error().code == ErrorCode::nameTaken || (err != EXDEV && err != EPERM))
        return moved;

    std::string temporary =
        (to.parent_path() / ("." + to.filename().string() + ".marlune-XXXXXX")).string();
    int out = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (out < 0) return fail(std::strerror(errno));
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = in >= 0;
    err = ok ? 0 : errno;
    std::vector<char> buffer(1 << 20);
    while (ok) {
        if (cancelled) break;
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0) ok = false, err = errno;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) ok = false, err = w < 0 ? errno : ENOSPC;
            done += std::max<ssize_t>(w, 0);
        }
    }
    if (in >= 0) ::close(in);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (ok && !cancelled && (::fchmod(out, 0666 & ~mask) != 0 || ::fsync(out) != 0)) {
        ok = false;
        err = errno;
    }
    if (::close(out) != 0 && ok) ok = false, err = errno;
    Result<void> placed = cancelled ? Result<void>(fail("cancelled", ErrorCode::cancelled))
                          : ok      ? linkWithoutReplacing(temporary, to, err)
                                    : fail(std::strerror(err));
    if (!placed) {
        ::unlink(temporary.c_str());
        return placed;
    }
    ::unlink(from.c_str());
    return {};
}

// ---- The run ---------------------------------------------------------------------------------

class CommandLineExport {
  public:
    explicit CommandLineExport(ExportArguments options)
        : o_(std::move(options)), progress_(o_.name, o_.quiet || o_.printEdit) {}

    ~CommandLineExport() {
        if (mover_.joinable()) mover_.join();
        if (loop_) g_main_loop_unref(loop_);
    }

    int run() {
        loop_ = g_main_loop_new(nullptr, FALSE);
        // Installed first, so that a signal during the preparation is not the default death.
        guint sigint = g_unix_signal_add(SIGINT, &CommandLineExport::onSignal<SIGINT>, this);
        guint sigterm = g_unix_signal_add(SIGTERM, &CommandLineExport::onSignal<SIGTERM>, this);
        // A closed terminal too: the export would otherwise die with its partial movie.
        guint sighup = g_unix_signal_add(SIGHUP, &CommandLineExport::onSignal<SIGHUP>, this);
        start();
        if (!finished_) g_main_loop_run(loop_);
        g_source_remove(sigint);
        g_source_remove(sigterm);
        g_source_remove(sighup);
        return status_;
    }

  private:
    template <int Signal>
    static gboolean onSignal(gpointer data) {
        static_cast<CommandLineExport*>(data)->interrupted(Signal);
        return G_SOURCE_CONTINUE;
    }

    void interrupted(int signal) {
        if (signal_ || finished_) return;
        signal_ = signal;
        moveCancelled_ = true;
        if (started_) renderer_.cancelExport(recording_.name);
    }

    void end(int status) {
        finished_ = true;
        status_ = status;
        progress_.end();
        if (g_main_loop_is_running(loop_)) g_main_loop_quit(loop_);
    }

    void failWith(const std::string& message) {
        progress_.end();
        say(message);
        end(kExitFailed);
    }

    void start() {
        auto name = recordingName(o_.name);
        if (!name) return failWith(name.error().message);
        auto recording = probeRecording(*name);
        if (!recording) return failWith(recording.error().message);
        recording_ = *recording;

        auto payload = buildPayload();
        if (!payload) return failWith(payload.error().message);
        if (o_.height) {
            (*payload)["targetHeight"] = *o_.height;
            if (*o_.height >= recording_.height) {
                say("note: " + curlyQuoted(recording_.name) + " is " +
                    std::to_string(recording_.height) +
                    " pixels high; it is exported at its "
                    "own size");
            }
        }
        if (o_.format) (*payload)["format"] = *o_.format;
        if (o_.shape) (*payload)["shape"] = *o_.shape;
        if (o_.printEdit) {
            std::string text = payload->dump(2) + "\n";
            std::fputs(text.c_str(), stdout);
            return end(0);
        }
        auto request = ExportRequest::fromPayload(*payload);
        if (!request) return failWith(editSource() + request.error().message);
        if (o_.out) {
            auto out = checkOutput(*o_.out);
            if (!out) return failWith(out.error().message);
            out_ = *out;
        }

        // A signal that came during the preparation is taken before anything is written.
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        if (signal_) {
            say("cancelled; nothing was written");
            return end(128 + signal_);
        }
        started_ = true;
        progress_.show(0);
        renderer_.render(
            std::move(*request), MarluneSchemeHandler::webRoot(defaults_),
            [this](double fraction) {
                const int percent = static_cast<int>(std::lround(fraction * 100));
                Queue::main().post([this, percent] {
                    if (!finished_) progress_.show(percent);
                });
            },
            [this](Result<ExportedMovie> made) { rendered(std::move(made)); });
    }

    // "edit file “F”: " when the edit came from a file, for messages about its contents.
    std::string editSource() const {
        if (!o_.editFile) return "";
        return "edit file " + curlyQuoted(*o_.editFile == "-" ? "standard input" : *o_.editFile) +
               ": ";
    }

    Result<Json> buildPayload() {
        const auto webRoot = MarluneSchemeHandler::webRoot(defaults_);
        EditPayloadContext context{recording_.name, recording_.durationMs, firstWallpaper(webRoot),
                                   EditorLooks::defaultLook(defaults_)};
        auto project = projects_.load(recording_.name);
        const std::string projectFile =
            projects_.sidecarURL(recording_.name).value_or(fs::path()).string();
        if (!o_.editFile) {
            // Without a readable project the editor would open the default edit and refuse to
            // save; here that would render something else than was asked for.
            if (!project) {
                return fail(curlyQuoted(projectFile) + ": " + project.error().message +
                            " Give the edit with --edit.");
            }
            return savedEditPayload(project->value_or(Json(nullptr)), context);
        }
        if (!project) {
            say("note: " + curlyQuoted(projectFile) + ": " + project.error().message +
                " The recorded pointer and webcam are left out.");
        }
        auto text = readWhole(*o_.editFile, ProjectStore::kMaxProjectBytes);
        if (!text) return fail("cannot read " + editSource() + text.error().message);
        auto parsed = parseJson(*text);
        if (!parsed) return fail(editSource() + parsed.error().message);
        std::vector<std::string> notes;
        const Json none;
        auto completed =
            completeEditPayload(*parsed, project && *project ? **project : none, context, notes);
        if (!completed) return fail(editSource() + completed.error().message);
        for (const auto& note : notes) say("note: " + editSource() + note);
        return completed;
    }

    void rendered(Result<ExportedMovie> made) {
        if (made && signal_) {
            // The cancel came too late for the renderer: the movie it finished goes all the same.
            std::error_code ignored;
            fs::remove(RecordingsLibrary::dirURL() / made->name, ignored);
            made = std::unexpected(ExportRenderer::cancelledError);
        }
        if (!made) {
            if (signal_ && made.error().code == ErrorCode::cancelled) {
                progress_.end();
                say("cancelled; nothing was written");
                return end(128 + signal_);
            }
            return failWith(curlyQuoted(recording_.name) + ": " + made.error().message);
        }
        const fs::path written = RecordingsLibrary::dirURL() / made->name;
        if (!out_) return done(written);
        // A copy to another disk may take a while: off the main thread, so that a signal still
        // stops it. A thread of its own, not the shared pool: it may run for minutes, and the
        // destructor joins it before the loop it posts to goes.
        mover_ = std::thread([this, written] {
            auto moved = moveWithoutReplacing(written, *out_, moveCancelled_);
            Queue::main().post([this, written, moved] { movedOut(written, moved); });
        });
    }

    void movedOut(const fs::path& written, const Result<void>& moved) {
        if (moved) return done(*out_);
        if (moved.error().code == ErrorCode::cancelled || signal_) {
            std::error_code ignored;
            fs::remove(written, ignored);
            progress_.end();
            say("cancelled; nothing was written");
            return end(128 + (signal_ ? signal_ : SIGTERM));
        }
        // The movie is whole: it stays where the export put it rather than being lost.
        const std::string reason =
            moved.error().code == ErrorCode::nameTaken
                ? curlyQuoted(out_->string()) +
                      " appeared meanwhile; not "
                      "replacing it"
                : "cannot write " + curlyQuoted(out_->string()) + ": " + moved.error().message;
        failWith(reason + "; the export is kept as " + curlyQuoted(written.string()));
    }

    // Not counted with the account, as the app counts its exports: the counter lives in the
    // defaults file, which each process keeps whole in memory and writes back whole, so a run
    // beside the app or beside other runs would write over their changes (settings included) and
    // lose counts; and the count's sync with the service would hold the process open on the
    // network.
    void done(const fs::path& movie) {
        progress_.show(100);
        progress_.end();
        std::string line = movie.string() + "\n";
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
        end(0);
    }

    const ExportArguments o_;
    ProgressReport progress_;
    // Read only: the page's folder may be set there ("DevWebRoot"). Nothing is ever written to
    // it from here.
    KeyValueStore defaults_{paths::defaultsFile()};
    ProjectStore projects_;
    ExportRenderer renderer_;
    Recording recording_;
    std::optional<fs::path> out_;
    GMainLoop* loop_ = nullptr;
    std::thread mover_;
    std::atomic<bool> moveCancelled_{false};
    int signal_ = 0;
    bool started_ = false;
    bool finished_ = false;
    int status_ = kExitFailed;
};

}  // namespace

int runCommandLineExport(const std::vector<std::string>& args) {
    auto options = parseExportArguments(args);
    if (!options) {
        say(options.error().message);
        std::fputs(std::string(kExportUsage).c_str(), stderr);
        std::fputs("Try `marlune export --help` for more.\n", stderr);
        return kExitUsage;
    }
    if (options->help) {
        std::fputs((std::string(kExportUsage) + std::string(kExportHelp)).c_str(), stdout);
        return 0;
    }
    std::signal(SIGPIPE, SIG_IGN);
    CommandLineExport job(std::move(*options));
    return job.run();
}

}  // namespace marlune
