// `marlune export` run as a user's script runs it: own HOME, no display, real movies.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>

#include "integration/child_commands.h"
#include "support/ffmpeg_tool.h"
#include "support/main_loop.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace test;

struct Finished {
    int status = -1;  // the exit status; 128 + the signal when one killed it
    std::string out, err;
};

// `marlune export ARGS` as a user's script runs it, with no display of any kind.
class ExportRun {
  public:
    ExportRun(const fs::path& home, std::vector<std::string> args, const std::string& input = "")
        : process_({.home = home,
                    .extraArgs = std::move(args),
                    .stderrFile = scratch_ / "stderr",
                    .args = {"export"},
                    .unsetEnv = {"WAYLAND_DISPLAY"}}) {
        if (!input.empty()) process_.sendRaw(input);
    }

    std::string err() const { return test::readFile(scratch_ / "stderr"); }
    void signal(int sig) { process_.signal(sig); }
    Finished wait() {
        Finished done{process_.closeAndWait(std::chrono::seconds(180)), "", err()};
        for (const auto& line : process_.leftover) done.out += line + "\n";
        return done;
    }

  private:
    TempDir scratch_;
    test::BridgeProcess process_;
};

Finished runExport(const fs::path& home, std::vector<std::string> args,
                   const std::string& input = "") {
    return ExportRun(home, std::move(args), input).wait();
}

// A project file with pointer, click and caret tracks (some damaged) and a webcam movie entry.
Json projectWithTracks() {
    return Json::parse(R"({
        "version": 1,
        "cursorPath": [[0, 0.1, 0.1, 0], [1000, 0.5, 0.5, 1], [1900, 0.9, 0.8, 0], ["bad", 1, 1],
                       [5, 0.2]],
        "caretPath": [[400, 0.3, 0.3], [1500, 0.6, 0.6]],
        "clicks": [{"t": 500, "fx": 0.5, "fy": 0.5}, {"fx": 1}],
        "webcam": {"file": "Demo.webcam.mp4", "offsetMs": 120, "shape": "circle", "width": 30}
    })");
}

// The payload `--print-edit` printed, as plain JSON (key order aside).
nlohmann::json printedEdit(const Finished& run) {
    return nlohmann::json::parse(run.out, nullptr, false);
}

// ---- Rendering -------------------------------------------------------------------------------

TEST(CommandLineExport, RendersTheRecordingOrItsEditBesideItWithoutADisplay) {
    TempDir home;
    fs::path dir = recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 2.0));

    // A styled edit from an edit file: the frame's colour fills the picture's corner, and only the
    // range is written (the saved edit is read as the editor reads it: the test below).
    test::writeFile(home / "edit.json", R"({
        "startMs": 250, "endMs": 1750,
        "zooms": [{"startMs": 300, "endMs": 1400, "scale": 2, "fx": 0.25, "fy": 0.25}],
        "frame": {"type": "color", "hex": "#336699", "paddingPct": 20, "radiusPct": 10,
                  "shadowPct": 0}})");
    struct Run {
        std::vector<std::string> args;
        const char* movie;
        const char* size;  // nullptr: not checked
        double seconds;
        bool styled = false;
    };
    const Run runs[] = {
        {{"Demo.mp4", "--height", "120"}, "Demo export.mp4", "212,120\n", 2.0},
        // A second export never replaces the first; without --height it keeps the recording's size.
        {{"Demo.mp4"}, "Demo export 2.mp4", "320,180\n", 2.0},
        {{"Demo.mp4", "--edit", (home / "edit.json").string()},
         "Demo export 3.mp4",
         nullptr,
         1.5,
         true},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.movie);
        auto run = runExport(home.path(), r.args);
        ASSERT_EQ(run.status, 0) << run.err;
        const fs::path movie = dir / r.movie;
        EXPECT_EQ(run.out, movie.string() + "\n");
        if (r.size) {
            EXPECT_EQ(test::toolOutput({"ffprobe", "-v", "error", "-select_streams", "v:0",
                                        "-show_entries", "stream=width,height", "-of", "csv=p=0",
                                        movie.string()}),
                      r.size);
        }
        EXPECT_TRUE(test::decodesCleanly(movie));
        EXPECT_NEAR(test::probeDuration(movie).value_or(0), r.seconds, 0.1);
        if (r.styled) {
            // The mean of the 4 × 4 pixels at the top left, half a second in.
            const fs::path raw = home / "corner.rgb";
            ASSERT_TRUE(ffmpeg({"-ss", "0.5", "-i", movie.string(), "-frames:v", "1", "-vf",
                                "format=rgb24,crop=4:4:0:0,scale=1:1:flags=area", "-f", "rawvideo",
                                raw.string()}));
            const std::string corner = readFile(raw);
            ASSERT_EQ(corner.size(), 3u);
            for (int i = 0; i < 3; ++i) {
                EXPECT_NEAR(static_cast<unsigned char>(corner[i]),
                            (std::array{0x33, 0x66, 0x99})[i], 6);
            }
        }
    }
    EXPECT_EQ(allNames(dir), (std::vector<std::string>{"Demo export 2.mp4", "Demo export 3.mp4",
                                                       "Demo export.mp4", "Demo.mp4"}));

    // --out writes there and nowhere else, also on another file system (tmpfs: a copy).
    TempDir elsewhere;
    fs::create_directories(elsewhere / "renders");
    std::vector<fs::path> outs = {elsewhere / "renders/Demo final.mp4"};
    struct stat shm {
    }, tmp{};
    if (::stat("/dev/shm", &shm) == 0 && ::stat(elsewhere.path().c_str(), &tmp) == 0 &&
        shm.st_dev != tmp.st_dev && ::access("/dev/shm", W_OK) == 0) {
        const fs::path shmDir = "/dev/shm/marlune-test-out-" + std::to_string(::getpid());
        fs::create_directories(shmDir);
        outs.push_back(shmDir / "Demo.mp4");
    }
    const auto before = allNames(dir);
    for (const auto& out : outs) {
        SCOPED_TRACE(out);
        auto run = runExport(home.path(), {"Demo.mp4", "--out", out.string(), "--quiet"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, out.string() + "\n");
        EXPECT_EQ(run.err, "") << "--quiet";
        EXPECT_TRUE(test::decodesCleanly(out));
        EXPECT_EQ(allNames(dir), before);
        EXPECT_EQ(allNames(out.parent_path()), std::vector<std::string>{out.filename()})
            << "no temporary left beside it";
    }
    if (outs.size() > 1) fs::remove_all(outs.back().parent_path());

    // A recording without an edit of its own takes the default look, as the editor opens it.
    test::writeFile(home / ".config/marlune/defaults.json",
                    R"({"EditorDefaultLook": {"shape": "1:1", "frame": {"type": "color"}}})");
    auto look = runExport(home.path(), {"Demo.mp4", "--print-edit"});
    ASSERT_EQ(look.status, 0) << look.err;
    EXPECT_EQ(printedEdit(look)["shape"], "1:1");
    EXPECT_EQ(printedEdit(look)["frame"]["type"], "color");
}

// ---- Refusals: a clear message, status 2 with the usage or 1, and nothing written anywhere -----

TEST(CommandLineExport, RefusalsLeaveNothingBehind) {
    TempDir home;
    fs::path dir = recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 1.0));
    test::writeFile(dir / "Broken.mp4", "not a movie at all");
    test::writeFile(home / "Elsewhere.mp4", "x");
    test::writeFile(home / "taken.mp4", "keep me");
    const std::pair<const char*, std::string> editFiles[] = {
        {"not-json", "{\"zooms\": ["},
        {"array", "[]"},
        {"zoom", R"({"zooms": [{"startMs": 0, "endMs": 900}]})"},
        {"frame", R"({"frame": {"type": "plaid"}})"},
        {"empty", R"({"startMs": 600, "endMs": 600})"},
        {"tall", R"({"shape": "tall"})"}};
    for (const auto& [name, content] : editFiles) {
        test::writeFile(home / "edits" / (std::string(name) + ".json"), content);
    }
    const std::string edits = (home / "edits").string();
    const std::string fresh = (home / "fresh.mp4").string();
    auto withEdit = [&](const std::string& name) {
        return std::vector<std::string>{"Demo.mp4", "--edit", edits + "/" + name + ".json", "--out",
                                        fresh};
    };

    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> says;  // each somewhere in the message
        int status = 1;                 // 2: with the usage
    };
    const std::vector<Case> cases = {
        {{}, {"NAME is missing"}, 2},
        {{"Demo.mp4", "--frobnicate"}, {"unknown option “--frobnicate”"}, 2},
        {{"Demo.mp4", "--height=-720"}, {"--height takes a whole number of pixels"}, 2},
        {{"Demo.mp4", "--out", "a.mp4", "--out", "b.mp4"}, {"--out given twice"}, 2},
        {{"Nope.mp4"}, {"no recording “Nope.mp4” in " + dir.string()}},
        {{(home / "Elsewhere.mp4").string()}, {"is not in the recordings folder"}},
        {{"Broken.mp4"}, {"“Broken.mp4” can’t be read"}},
        {{"Demo.mp4", "--out", (home / "taken.mp4").string()},
         {"“" + (home / "taken.mp4").string() + "” already exists", "not replacing it"}},
        {{"Demo.mp4", "--out", (home / "no/such/folder/a.mp4").string()}, {"does not exist"}},
        {withEdit("missing"), {edits + "/missing.json", "No such file or directory"}},
        {withEdit("not-json"), {edits + "/not-json.json", "Invalid JSON"}},
        {withEdit("array"), {edits + "/array.json", "it holds an array"}},
        {withEdit("zoom"), {"zoom 1 of “zooms” needs the numbers “startMs”, “endMs” and “scale”"}},
        {withEdit("frame"), {"“frame” needs a “type”"}},
        // The renderer's own refusal, as the editor would show it.
        {withEdit("empty"), {"“Demo.mp4”: Export range is empty."}},
        {{"Demo.mp4", "--edit", "-", "--out", fresh}, {"standard input", "Invalid JSON"}},
        {{"Demo.mp4", "--shape", "5:4"},
         {"--shape takes original, 16:9, 9:16, 1:1 or 4:3, not “5:4”"},
         2},
        {withEdit("tall"),
         {"“shape” must be \"original\", \"16:9\", \"9:16\", \"1:1\" or \"4:3\""}},
    };
    const auto before = allNames(dir);
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        auto run = runExport(home.path(), c.args, "{oops");
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, "");
        const char* kind = c.status == 2 ? "usage: marlune export NAME" : "marlune export: ";
        EXPECT_NE(run.err.find(kind), std::string::npos) << run.err;
        for (const auto& s : c.says) EXPECT_NE(run.err.find(s), std::string::npos) << run.err;
        EXPECT_EQ(allNames(dir), before);
        EXPECT_FALSE(fs::exists(fresh));
    }
    EXPECT_EQ(test::readFile(home / "taken.mp4"), "keep me");
    auto help = runExport(home.path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--out PATH"), std::string::npos);

    // A saved project the store refuses is not silently replaced by the default edit.
    test::writeFile(dir / "Demo.mp4.marlune.json",
                    "{\"edit\":" + std::string(300, '[') + std::string(300, ']') + "}");
    auto run = runExport(home.path(), {"Demo.mp4"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Demo.mp4.marlune.json"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--edit"), std::string::npos) << run.err;
    EXPECT_EQ(allNames(dir),
              (std::vector<std::string>{"Broken.mp4", "Demo.mp4", "Demo.mp4.marlune.json"}));
}

// ---- Signals ---------------------------------------------------------------------------------

TEST(CommandLineExport, SignalsCancelAndLeaveNoPartialMovie) {
    TempDir home;
    TempDir elsewhere;
    fs::path dir = recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Long.mp4", 30.0, 640, 360));
    struct Case {
        int signal;
        int status;
        bool toOut;
    };
    const Case cases[] = {{SIGTERM, 143, false}, {SIGINT, 130, true}};
    const fs::path out = elsewhere / "Long.mp4";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal);
        std::vector<std::string> args = {"Long.mp4"};
        if (c.toOut) args.insert(args.end(), {"--out", out.string()});
        ExportRun p(home.path(), args);
        // Under way: a hidden partial movie is being written beside the recording.
        ASSERT_TRUE(
            test::runMainUntil([&] { return p.err().find("Long.mp4: 2%\n") != std::string::npos; },
                               std::chrono::seconds(120)));
        p.signal(c.signal);
        auto run = p.wait();
        // Its own status, after removing the partial movie and saying so.
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.err.find("cancelled; nothing was written"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(allNames(dir), std::vector<std::string>{"Long.mp4"});
        EXPECT_EQ(allNames(elsewhere.path()), std::vector<std::string>{});
    }
}

// ---- The edit that is rendered ---------------------------------------------------------------

// What the editor's Export button sends for `project` (null: none), by the page's own module.
std::optional<nlohmann::json> editorPayload(const Json& project, std::int64_t durationMs) {
    const fs::path web = fs::path(MARLUNE_SOURCE_DIR) / "web";
    const std::string script =
        "import { readFileSync } from 'node:fs';\n"
        "import { defaultEdit, exportPayload, restoreEdit } from 'file://" +
        (web / "js/edit_model.js").string() +
        "';\n"
        "const { project, durationMs, index } = JSON.parse(process.argv[1]);\n"
        "const wallpaper = JSON.parse(readFileSync(index)).wallpapers.find(\n"
        "  (w) => typeof w.id === 'string' && typeof w.thumb === 'string')?.id ?? 'aurora';\n"
        "const edit = restoreEdit(project?.edit, durationMs, project, { wallpaper }) ??\n"
        "  defaultEdit(durationMs, project, { wallpaper });\n"
        "process.stdout.write(JSON.stringify(exportPayload(edit, 'Demo.mp4', project)));\n";
    const Json input = {{"project", project},
                        {"durationMs", durationMs},
                        {"index", (web / "wallpapers/index.json").string()}};
    auto out = test::toolOutput({"node", "--input-type=module", "-e", script, input.dump()});
    if (!out) return std::nullopt;
    return nlohmann::json::parse(*out, nullptr, false);
}

// An edit file is completed for the recording; the saved edit renders as the editor would send it.
TEST(CommandLineExport, EditsAreCompletedAndReadAsTheEditorWould) {
    TempDir home;
    fs::path dir = recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Demo.mp4", 2.0));
    test::writeFile(dir / "Demo.mp4.marlune.json", projectWithTracks().dump());
    const nlohmann::json recordedPath =
        nlohmann::json::parse(projectWithTracks()["cursorPath"].dump());
    nlohmann::json usablePath = recordedPath;
    usablePath.erase(usablePath.begin() + 3, usablePath.end());  // the samples the editor keeps
    // One edit file: its values kept, its name replaced, the tracks and the webcam movie taken
    // from the project file, --height over its own.
    test::writeFile(home / "edit.json", R"({"name": "Other.mp4", "startMs": 100, "endMs": 900,
        "zooms": [{"startMs": 0, "endMs": 1000, "scale": 2, "follow": true}],
        "cursor": {"size": 3}, "webcam": {"size": 30}, "targetHeight": 720})");
    auto edited = runExport(home.path(), {"Demo.mp4", "--print-edit", "--edit",
                                          (home / "edit.json").string(), "--height", "120"});
    ASSERT_EQ(edited.status, 0) << edited.err;
    const std::pair<const char*, nlohmann::json> wanted[] = {
        {"/name", "Demo.mp4"},
        {"/startMs", 100},
        {"/cursor/size", 3},
        {"/cursor/path", usablePath},
        {"/cursor/caret", nlohmann::json::parse("[[400, 0.3, 0.3]]")},
        {"/webcam/file", "Demo.webcam.mp4"},
        {"/webcam/enabled", true},
        {"/webcam/size", 30},
        {"/targetHeight", 120}};
    for (const auto& [pointer, value] : wanted) {
        EXPECT_EQ(
            printedEdit(edited).value(nlohmann::json::json_pointer(pointer), nlohmann::json()),
            value)
            << pointer;
    }

    // From standard input, by a path into the folder, with a note for a key it does not know.
    auto piped =
        runExport(home.path(), {(dir / "Demo.mp4").string(), "--print-edit", "--edit", "-"},
                  R"({"zoom": [], "endMs": 1000})");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(printedEdit(piped).value("name", ""), "Demo.mp4");
    EXPECT_EQ(printedEdit(piped).value("endMs", 0), 1000);
    EXPECT_NE(piped.err.find("ignoring the unknown key “zoom”"), std::string::npos) << piped.err;

    if (!test::toolOutput({"node", "--version"})) GTEST_SKIP() << "node is not installed";
    fs::remove(dir / "Demo.mp4.marlune.json");
    // The recording's length as the command reads it: the default edit's range ends there.
    auto bare = runExport(home.path(), {"Demo.mp4", "--print-edit"});
    ASSERT_EQ(bare.status, 0) << bare.err;
    const std::int64_t durationMs = printedEdit(bare).value("endMs", std::int64_t{0});
    ASSERT_GT(durationMs, 1900);

    Json tracks = projectWithTracks();
    auto withEdit = [&](const char* edit) {
        Json p = tracks;
        p["edit"] = Json::parse(edit);
        return p;
    };
    struct Case {
        const char* label;
        Json project;  // null: no project file
    };
    const Case cases[] = {
        {"no project file", nullptr},
        {"tracks, no edit yet", tracks},
        {"a full edit", withEdit(R"({
            "version": 1, "range": {"startMs": 200.4, "endMs": 1800},
            "zooms": [
                {"id": "z1", "startMs": 100, "endMs": 900, "scale": 2.5, "fx": 0.3, "fy": 0.7,
                 "follow": "caret"},
                {"id": "z2", "startMs": 500, "endMs": 1200, "scale": 2},
                {"id": "z3", "startMs": 1000, "endMs": 1200, "scale": 2},
                {"id": "z4", "startMs": 1300, "endMs": 1990, "scale": 9, "follow": "cursor"},
                {"id": "z5", "startMs": "1", "endMs": 1500}],
            "frame": {"type": "gradient", "from": "#ABCDEF", "to": "blue", "angle": 400,
                      "paddingPct": 50, "radiusPct": 5.5},
            "cursor": {"style": "dot", "size": 0.5, "ripple": 0, "render": true},
            "webcam": {"shape": "wide", "size": 25, "enabled": true,
                       "positionPreset": "top-left"},
            "audio": {"mic": 3, "system": "loud"},
            "targetHeight": 720})")},
        {"a damaged edit", withEdit(R"({
            "range": {"startMs": -50, "endMs": 99999}, "zooms": "none",
            "frame": {"type": "wallpaper", "id": "../etc"}, "cursor": [],
            "webcam": {"shape": "hexagon", "size": 2}, "targetHeight": 1000})")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove(dir / "Demo.mp4.marlune.json");
        if (!c.project.is_null()) test::writeFile(dir / "Demo.mp4.marlune.json", c.project.dump());
        auto run = runExport(home.path(), {"Demo.mp4", "--print-edit"});
        ASSERT_EQ(run.status, 0) << run.err;
        auto wanted = editorPayload(c.project, durationMs);
        ASSERT_TRUE(wanted && !wanted->is_discarded()) << "node failed";
        EXPECT_EQ(printedEdit(run), *wanted)
            << "command: " << run.out << "\neditor: " << wanted->dump();
    }
    EXPECT_EQ(allNames(dir), (std::vector<std::string>{"Demo.mp4", "Demo.mp4.marlune.json"}))
        << "--print-edit renders nothing";
}

}  // namespace
}  // namespace marlune
