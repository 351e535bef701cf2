// The library, media and project commands through the real program on real files.

#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "core/folder_file.h"
#include "integration/child_commands.h"
#include "support/ffmpeg_tool.h"
#include "support/main_loop.h"
#include "support/raw_http.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using namespace test;

// Guards names that act outside the folder and renames or deletes that split or overwrite files.
TEST(LibraryCommands, PayloadRulesTrashRenameAndCopy) {
    TempDir home;
    fs::path dir = recordings(home);
    writeFile(dir / "Clip.mp4", "movie");
    writeFile(home / "Videos/outside.mp4", "keep me");
    // Project files too deep, too large, or readable only leniently.
    writeFile(dir / "Deep.mp4.marlune.json", "{\"a\":" + std::string(100'000, '[') + "}");
    writeFile(dir / "Big.mp4.marlune.json", "{}");
    fs::resize_file(dir / "Big.mp4.marlune.json", (64ull << 20) + 1);
    writeFile(dir / "Lenient.mp4.marlune.json", R"({"n":1e999,"s":"\ud800"})");
    const std::pair<const char*, const char*> trashed[] = {
        {"My Clip.mp4", "movie"},
        {"My Clip.mp4.marlune.json", "{}"},
        {"My Clip.webcam.mp4", "webcam"},
        {"Alone.mp4", "alone"},
    };
    for (auto [name, content] : trashed) writeFile(dir / name, content);
    const std::pair<const char*, const char*> renamed[] = {
        {"Take.mp4", "movie"},
        {"Take.mp4.marlune.json", "{\"v\":1}"},
        {"Take.webcam.mp4", "webcam"},
        {"Plain.mp4", "plain"},
        {"Other.mp4", "other"},
        {"Orphan.webcam.mp4", "someone else's webcam"},
        {"Live.mp4", ""},
        {"A b.mp4", "movie"},
    };
    for (auto [name, content] : renamed) writeFile(dir / name, content);
    fs::create_directories(dir / "Folder.mp4");
    // A recording under way: its writer holds the movie locked.
    int live = ::open((dir / "Live.mp4").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(live, 0);
    ASSERT_EQ(::flock(live, LOCK_SH), 0);
    BridgeProcess p({.home = home.path()});
    struct Case {
        const char* cmd;
        const char* payload;
        const char* error;  // nullptr: success with `result`
        const char* result;
    };
    const Case cases[] = {
        {"library.delete", "{}", "Missing file name", nullptr},
        {"library.delete", R"({"name":"../outside.mp4"})", "Invalid file name.", nullptr},
        {"library.open", R"({"name":"../outside.mp4"})", nullptr, "{}"},
        {"library.open", R"({"name":"Clip.mp4"})", nullptr, "{}"},
        {"library.openFolder", "{}", nullptr, "{}"},
        {"library.thumb", R"({"name":"../outside.mp4"})", "Invalid file name.", nullptr},
        {"library.thumb", R"({"name":"Clip.mp4"})", nullptr, R"({"thumb":null})"},
        {"media.waveform", R"({"name":"../outside.mp4"})", "Invalid file name.", nullptr},
        {"media.waveform", R"({"name":"none.mp4"})", nullptr, R"({"peaks":[]})"},
        {"edit.exportTrim", R"({"name":"a.mp4","startMs":"0","endMs":5000})",
         "Missing trim parameters", nullptr},
        {"edit.exportTrim", R"({"name":"a.mp4","startMs":5000,"endMs":5000.0})",
         "Trim range is empty.", nullptr},
        {"edit.exportTrim", R"({"name":"../outside.mp4","startMs":0,"endMs":5000})",
         "Invalid file name.", nullptr},
        {"edit.exportTrim", R"({"name":"Nothing.mp4","startMs":0,"endMs":1000})",
         "No such file or directory", nullptr},
        {"project.load", R"({"name":"../outside.mp4"})", nullptr, R"({"data":null})"},
        {"project.load", R"({"name":"Deep.mp4"})",
         "The project file could not be read. The JSON is nested more than 256 levels deep.",
         nullptr},
        {"project.load", R"({"name":"Big.mp4"})", "The project file is too large (over 64 MB).",
         nullptr},
        {"project.load", R"({"name":"Lenient.mp4"})", nullptr,
         R"({"data":{"n":null,"s":"\uFFFD"}})"},
        {"project.save", R"({"name":"a.mp4","data":[1]})", "Missing project data", nullptr},
        {"project.save", R"({"name":"../outside.mp4","data":{}})", "Invalid file name.", nullptr},
        {"project.save", R"({"name":"sub/Clip.mp4","data":{}})",
         "Could not save Clip.mp4.marlune.json: No such file or directory", nullptr},
    };
    int id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.cmd) + " " + c.payload);
        auto reply = p.request(std::to_string(++id), c.cmd, Json::parse(c.payload));
        ASSERT_TRUE(reply) << "no reply";
        if (c.error) {
            EXPECT_EQ(errorOf(reply), c.error);
            EXPECT_EQ((*reply)["error"]["code"], "error");
        } else {
            EXPECT_EQ(resultOf(reply), Json::parse(c.result));
        }
    }

    // ---- Delete moves the recording and its companions to the trash
    EXPECT_EQ(resultOf(p.request("d1", "library.delete", {{"name", "My Clip.mp4"}})),
              Json::object());
    EXPECT_EQ(resultOf(p.request("d2", "library.delete", {{"name", "Alone.mp4"}})), Json::object())
        << "no companions is fine";
    auto ghost = p.request("d3", "library.delete", {{"name", "Ghost.mp4"}});
    EXPECT_NE(errorOf(ghost), "(no failure)") << "a missing movie can't be trashed";

    // ---- Rename moves all three files or nothing
    struct Rename {
        const char* name;
        const char* newName;
        const char* error;  // nullptr: renamed to `result`
        const char* result;
    };
    const Rename renames[] = {
        {"Take.mp4", "Other", "A recording called “Other.mp4” exists already.", nullptr},
        // A companion's new name is taken although the movie's is free.
        {"Take.mp4", "Orphan", "A recording called “Orphan.mp4” exists already.", nullptr},
        {"Live.mp4", "Later", "“Live.mp4” is still being recorded; export it once it has stopped",
         nullptr},
        {"Take.mp4", "../Out", "Invalid file name.", nullptr},
        // Names that would hide the recording or leave the folder.
        {"Take.mp4", "  ", "Invalid file name.", nullptr},
        {"Take.mp4", ".hidden", "Invalid file name.", nullptr},
        {"Take.mp4", "sub/Take", "Invalid file name.", nullptr},
        {"Take.mp4", "Face.webcam", "Invalid file name.", nullptr},
        {"../Take.mp4", "Out", "Invalid file name.", nullptr},
        {"Folder.mp4", "Moved", "Only recordings can be renamed.", nullptr},
        {"Take.webcam.mp4", "Face", "Only recordings can be renamed.", nullptr},
        {"Take.mp4", "Take", nullptr, "Take.mp4"},
        {"Take.mp4", "Launch demo", nullptr, "Launch demo.mp4"},
        {"Plain.mp4", " Plain v2.MP4 ", nullptr, "Plain v2.MP4"},
    };
    for (const auto& c : renames) {
        SCOPED_TRACE(std::string(c.name) + " -> " + c.newName);
        auto reply = p.request(std::to_string(++id), "library.rename",
                               {{"name", c.name}, {"newName", c.newName}});
        if (c.error) {
            EXPECT_EQ(errorOf(reply), c.error);
        } else {
            EXPECT_EQ(resultOf(reply), Json({{"name", c.result}}));
        }
    }
    EXPECT_EQ(errorOf(p.request("m", "library.rename", {{"name", "Plain v2.MP4"}})),
              "Missing file name");
    // ---- Copy names the file for the clipboard
    EXPECT_EQ(resultOf(p.request("c", "library.copy", {{"name", "A b.mp4"}}))["uri"],
              "file://" + (dir / "A%20b.mp4").string());
    EXPECT_EQ(errorOf(p.request("o", "library.copy", {{"name", "../x.mp4"}})),
              "Invalid file name.");
    EXPECT_NE(errorOf(p.request("g", "library.copy", {{"name", "Gone.mp4"}})), "(no failure)");
    EXPECT_EQ(p.closeAndWait(), 0);
    ::close(live);

    const std::vector<std::string> expected = {
        "A b.mp4",
        "Big.mp4.marlune.json",
        "Clip.mp4",
        "Deep.mp4.marlune.json",
        "Folder.mp4",
        "Launch demo.mp4",
        "Launch demo.mp4.marlune.json",
        "Launch demo.webcam.mp4",
        "Lenient.mp4.marlune.json",
        "Live.mp4",
        "Orphan.webcam.mp4",
        "Other.mp4",
        "Plain v2.MP4",
    };
    EXPECT_EQ(allNames(dir), expected);
    EXPECT_EQ(readFile(dir / "Launch demo.mp4"), "movie");
    EXPECT_EQ(readFile(dir / "Launch demo.mp4.marlune.json"), "{\"v\":1}");
    EXPECT_EQ(readFile(dir / "Launch demo.webcam.mp4"), "webcam");
    EXPECT_EQ(readFile(dir / "Other.mp4"), "other");
    EXPECT_EQ(readFile(dir / "Orphan.webcam.mp4"), "someone else's webcam");
    EXPECT_EQ(readFile(home / "Videos/outside.mp4"), "keep me");
    EXPECT_EQ(readFile(home / "Videos/Marlune/Clip.mp4"), "movie");
    EXPECT_FALSE(fs::exists(home / "Videos/outside.mp4.marlune.json"));
    EXPECT_FALSE(fs::exists(home / "Videos/Marlune/Nothing trimmed.mp4"));
    EXPECT_FALSE(fs::exists(home / ".local/share/Trash/files/outside.mp4"));
    EXPECT_FALSE(fs::exists(home / ".local/share/Trash/files/Clip.mp4"));
    // In the trash as GLib puts things there (its information files are GLib's).
    for (auto [name, content] : trashed) {
        EXPECT_EQ(readFile(home / ".local/share/Trash/files" / name), content) << name;
    }
}

TEST(LibraryCommands, RevealAsksTheFileManager) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) GTEST_SKIP() << "needs a session bus";
    // A stand-in file manager that records the items it is asked to show.
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(
        "<node><interface name='org.freedesktop.FileManager1'><method name='ShowItems'>"
        "<arg type='as' direction='in'/><arg type='s' direction='in'/></method></interface></node>",
        nullptr);
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* args,
           GDBusMethodInvocation* call, gpointer shown) {
            GVariantIter* uris = nullptr;
            const char* uri = nullptr;
            g_variant_get(args, "(as&s)", &uris, &uri);
            while (g_variant_iter_next(uris, "&s", &uri)) {
                static_cast<std::vector<std::string>*>(shown)->push_back(uri);
            }
            g_variant_iter_free(uris);
            g_dbus_method_invocation_return_value(call, nullptr);
        },
        nullptr,
        nullptr,
        {}};
    std::vector<std::string> shown;
    bool named = false;
    const guint object =
        g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1", info->interfaces[0],
                                          &vtable, &shown, nullptr, nullptr);
    const guint owner = g_bus_own_name_on_connection(
        bus, "org.freedesktop.FileManager1", G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection*, const char*, gpointer named) { *static_cast<bool*>(named) = true; },
        nullptr, &named, nullptr);
    EXPECT_TRUE(test::runMainUntil([&] { return named; }));

    TempDir home;
    fs::path dir = recordings(home);
    writeFile(dir / "My Clip.mp4", "movie");
    BridgeProcess p({.home = home.path()});
    EXPECT_EQ(resultOf(p.request("1", "library.reveal", {{"name", "My Clip.mp4"}})),
              Json::object());
    EXPECT_EQ(resultOf(p.request("2", "library.reveal", {{"name", "../x.mp4"}})), Json::object());
    // Other tests running at the same time may reveal their own files here too.
    auto ours = [&] {
        std::vector<std::string> mine;
        for (const auto& uri : shown) {
            if (uri.starts_with("file://" + home.path().string())) mine.push_back(uri);
        }
        return mine;
    };
    EXPECT_TRUE(test::runMainUntil([&] { return !ours().empty(); }));
    test::runMainFor(std::chrono::milliseconds(200));
    EXPECT_EQ(p.closeAndWait(), 0);
    std::string uri =
        "file://" + std::regex_replace((dir / "My Clip.mp4").string(), std::regex(" "), "%20");
    EXPECT_EQ(ours(), std::vector<std::string>{uri});
    g_bus_unown_name(owner);
    g_dbus_connection_unregister_object(bus, object);
    g_dbus_node_info_unref(info);
    g_object_unref(bus);
}

TEST(LibraryCommands, ExportTrimMakesACopyAndAKilledOneLeavesNothing) {
    TempDir home;
    fs::path dir = recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Clip.mp4", 10.0));
    // Copies run at disk speed: a few hundred megabytes of motion JPEG take a while.
    ASSERT_TRUE(test::makeBigMovie(dir / "Big.mp4", 80));
    BridgeProcess p({.home = home.path()});
    ASSERT_TRUE(p.request("0", "app.ready"));

    auto first = p.request("1", "edit.exportTrim",
                           {{"name", "Clip.mp4"}, {"startMs", 2000}, {"endMs", 5000}},
                           std::chrono::seconds(60));
    EXPECT_EQ(resultOf(first), (Json{{"name", "Clip trimmed.mp4"}}));
    // Where the copy starts and ends: tests/library/media_tools_test.cpp. "saved" comes last.
    ASSERT_FALSE(p.events.empty());
    EXPECT_EQ(
        p.events.back(),
        (Json{{"name", "saved"}, {"data", {{"name", "Clip trimmed.mp4"}, {"durationMs", 3000}}}}));

    EXPECT_EQ(p.closeAndWait(), 0);

    // ---- A killed trim leaves nothing listed
    {
        BridgeProcess killed({.home = home.path()});
        ASSERT_TRUE(killed.request("ready", "app.ready"));
        killed.send("trim", "edit.exportTrim",
                    {{"name", "Big.mp4"}, {"startMs", 0}, {"endMs", 160000}});
        // Killed as soon as the copy has a file of its own: a copy runs at disk speed, and one
        // that is allowed to finish would rightly be listed.
        auto copying = [&] {
            for (const auto& e : fs::directory_iterator(dir)) {
                if (e.path().filename().string().starts_with(kTrimTemporaryPrefix)) return true;
            }
            return false;
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!copying()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the copy never began";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        killed.signal(SIGKILL);
        EXPECT_EQ(killed.closeAndWait(), 128 + SIGKILL);
    }
    BridgeProcess next({.home = home.path()});
    auto listed = listedNames(next.request("list", "library.list"));
    std::sort(listed.begin(), listed.end());
    const std::vector<std::string> kept = {"Big.mp4", "Clip trimmed.mp4", "Clip.mp4"};
    EXPECT_EQ(listed, kept);
    EXPECT_EQ(next.closeAndWait(), 0);
    EXPECT_EQ(test::allNames(dir), kept);
}

// The status of a GET of `url` (an http://127.0.0.1:PORT/... address), or 0 without an answer.
int httpStatus(const std::string& url) {
    std::smatch m;
    if (!std::regex_match(url, m, std::regex(R"(http://127\.0\.0\.1:(\d+)(/.*))"))) return 0;
    std::string answer = test::rawExchange(
        std::stoi(m[1]),
        "GET " + m[2].str() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    return answer.size() >= 12 ? std::atoi(answer.c_str() + 9) : 0;
}

// Guards pipes, links and folders named like recordings that block or lead out of the folder.
TEST(LibraryCommands, ListingAndProjectFilesWhilePipesAndLinksLeadNowhere) {
    TempDir home;
    fs::path dir = recordings(home);
    ASSERT_TRUE(test::makeMovie(dir / "Clip.mp4", 3.0, 640, 360));  // with a 3-second tone
    writeFile(dir / "notes.txt", "x");
    // Outside the folder: a movie with sound, its project, and a folder of them.
    ASSERT_TRUE(test::makeMovie(home / "Secret.mp4", 1.0));
    writeFile(home / "Secret.mp4.marlune.json", R"({"secret":true})");
    fs::create_directories(home / "elsewhere");
    fs::copy_file(home / "Secret.mp4", home / "elsewhere/Take.mp4");
    writeFile(home / "elsewhere/Take.mp4.marlune.json", R"({"secret":true})");
    // Inside it: named pipes and links leading out, named like recordings.
    ASSERT_EQ(::mkfifo((dir / "Pipe.mp4").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((dir / "Pipe.mp4.marlune.json").c_str(), 0600), 0);
    fs::create_symlink(home / "Secret.mp4", dir / "Link.mp4");
    fs::create_symlink(home / "Secret.mp4.marlune.json", dir / "Link.mp4.marlune.json");
    fs::create_symlink(home / "elsewhere", dir / "Linked");
    fs::create_directories(dir / "Folder.mp4");
    writeFile(dir / "Sub/Take.mp4", "a recording in a folder of its own");

    BridgeProcess p({.home = home.path()});
    const auto prompt = std::chrono::seconds(5);
    auto ready = p.request("ready", "app.ready");
    const std::string media = resultOf(ready)["mediaBaseURL"];
    Json items = resultOf(p.request("list", "library.list", nullptr, prompt))["items"];
    ASSERT_EQ(items.size(), 1u) << items;
    EXPECT_EQ(items[0]["webcam"], false);
    EXPECT_EQ(items[0]["name"], "Clip.mp4");
    EXPECT_EQ(items[0]["durationMs"], 3000);
    EXPECT_TRUE(items[0]["thumb"].get<std::string>().starts_with("data:image/jpeg;base64,/9j/"));
    // Without pictures, for a page that fetches them one by one ("library.thumb").
    items[0].erase("thumb");
    EXPECT_EQ(resultOf(p.request("bare", "library.list", {{"thumbs", false}}))["items"], items);
    EXPECT_EQ(resultOf(p.request("tone", "media.waveform", {{"name", "Clip.mp4"}}))["peaks"].size(),
              71u);
    const Json first = {{"version", 1}, {"clicks", Json::array()}};
    EXPECT_EQ(resultOf(p.request("save1", "project.save", {{"name", "Clip.mp4"}, {"data", first}})),
              Json::object());
    EXPECT_EQ(resultOf(p.request("load1", "project.load", {{"name", "Clip.mp4"}})),
              (Json{{"data", first}}));
    int id = 0;
    for (const char* name : {"Pipe.mp4", "Link.mp4", "Linked/Take.mp4", "Folder.mp4"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(
            resultOf(p.request(std::to_string(++id), "project.load", {{"name", name}}, prompt)),
            (Json{{"data", nullptr}}));
        EXPECT_EQ(
            resultOf(p.request(std::to_string(++id), "media.waveform", {{"name", name}}, prompt)),
            (Json{{"peaks", Json::array()}}));
        EXPECT_EQ(
            errorOf(p.request(std::to_string(++id), "library.delete", {{"name", name}}, prompt)),
            "Only recordings can be deleted.");
        EXPECT_NE(errorOf(p.request(std::to_string(++id), "edit.exportTrim",
                                    {{"name", name}, {"startMs", 0}, {"endMs", 500}}, prompt)),
                  "(no failure)");
        std::string escaped = std::regex_replace(name, std::regex("/"), "%2F");
        EXPECT_EQ(httpStatus(media + escaped), 404);
    }
    for (const char* folder : {"Linked", "Sub"}) {
        EXPECT_EQ(errorOf(p.request(folder, "library.delete", {{"name", folder}}, prompt)),
                  "Only recordings can be deleted.");
    }
    EXPECT_EQ(httpStatus(media + "Clip.mp4"), 200) << "a real recording still plays";
    // Writing through a linked folder would put the file outside.
    EXPECT_NE(errorOf(p.request("save", "project.save",
                                {{"name", "Linked/New.mp4"}, {"data", Json::object()}}, prompt)),
              "(no failure)");
    EXPECT_EQ(p.closeAndWait(), 0);
    EXPECT_FALSE(fs::exists(home / "elsewhere/New.mp4.marlune.json"));
    EXPECT_TRUE(fs::exists(home / "elsewhere/Take.mp4"));
    EXPECT_TRUE(fs::exists(home / "Secret.mp4"));
    EXPECT_TRUE(fs::exists(dir / "Sub/Take.mp4"));
}

}  // namespace
}  // namespace marlune
