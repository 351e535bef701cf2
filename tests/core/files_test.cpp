// Files inside a folder, temporaries, the settings store and the debug log's line.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/folder_file.h"
#include "core/key_value_store.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using Kind = FolderFileError::Kind;
using test::readFile;
using test::TempDir;
using test::writeFile;

std::vector<std::string> namesIn(const fs::path& dir, std::string_view prefix = "") {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().filename().string().starts_with(prefix)) names.push_back(e.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FolderFile, OpensOnlyRegularFilesInsideTheFolder) {
    // Every kind of thing a recordings folder might hold, with a secret outside it.
    TempDir dir;
    const fs::path root = dir / "Marlune";
    writeFile(root / "clip.mp4", "movie");
    writeFile(root / "sub/take.mp4", "take");
    writeFile(dir / "secret.txt", "secret");
    fs::create_directories(root / "empty");
    ::mkfifo((root / "pipe.mp4").c_str(), 0600);
    fs::create_symlink(dir / "secret.txt", root / "out.mp4");
    fs::create_symlink("../secret.txt", root / "up.mp4");
    fs::create_symlink(dir.path(), root / "away");
    fs::create_symlink("clip.mp4", root / "alias.mp4");
    fs::create_symlink("/dev/zero", root / "zero.mp4");
    const std::pair<const char*, const char*> readable[] = {
        {"clip.mp4", "movie"}, {"/clip.mp4", "movie"}, {"sub//take.mp4", "take"}};
    const std::pair<const char*, Kind> refused[] = {{"missing/take.mp4", Kind::missing},
                                                    {"empty", Kind::notRegular},
                                                    {"", Kind::notRegular},
                                                    {"pipe.mp4", Kind::notRegular},
                                                    {"out.mp4", Kind::outside},
                                                    {"up.mp4", Kind::outside},
                                                    {"away/secret.txt", Kind::outside},
                                                    {"../secret.txt", Kind::outside},
                                                    {"zero.mp4", Kind::outside}};
    for (bool byComponents : {false, true}) {
        SCOPED_TRACE(byComponents ? "by components" : "beneath");
        auto open = [&](const char* relative, bool directory = false) {
            return byComponents ? FolderFile::openByComponents(root, relative, directory)
                   : directory  ? FolderFile::openDirectory(root, relative)
                                : FolderFile::open(root, relative);
        };
        for (auto [relative, content] : readable) {
            auto opened = open(relative);
            ASSERT_TRUE(opened) << relative << ": " << opened.error().message();
            EXPECT_EQ(opened->readAll(100), content);
            // The path handed to libraries reaches the same file.
            EXPECT_EQ(readFile(opened->procPath()), content);
        }
        for (auto [relative, kind] : refused) {
            auto opened = open(relative);
            ASSERT_FALSE(opened) << relative;
            EXPECT_EQ(opened.error().kind, kind) << relative;
        }
        // Folders to write in stay inside too.
        EXPECT_TRUE(open("", true) && open("sub", true));
        EXPECT_FALSE(open("away", true) || open("clip.mp4", true) || open("nowhere", true));
    }
    // A link that stays inside is the kernel's to allow; the walk by hand refuses every link.
    EXPECT_EQ(FolderFile::open(root, "alias.mp4")->readAll(100), "movie");
    EXPECT_EQ(FolderFile::openByComponents(root, "alias.mp4", false).error().kind, Kind::outside);

    // readAll holds its limit on a file that grew after it was opened.
    writeFile(root / "big.json", std::string(1000, 'x'));
    auto big = FolderFile::open(root, "big.json");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->readAll(999), std::nullopt);
    std::ofstream(root / "big.json", std::ios::app) << "more";
    EXPECT_EQ(big->readAll(1000), std::nullopt);
    EXPECT_EQ(big->readAll(1004)->size(), 1004u);
}

TEST(TemporaryFiles, ClaimTheFirstFreeNameWithoutReplacing) {
    TempDir dir;
    writeFile(dir / "Clip export.mp4", "earlier");
    auto folder = FolderFile::openDirectory(dir.path(), "");
    ASSERT_TRUE(folder);
    auto name = [](int n) {
        return n == 1 ? std::string("Clip export.mp4")
                      : "Clip export " + std::to_string(n) + ".mp4";
    };
    for (const char* expected : {"Clip export 2.mp4", "Clip export 3.mp4"}) {
        auto temporary = createTemporary(*folder, kExportTemporaryPrefix, ".mp4");
        ASSERT_TRUE(temporary) << temporary.error().message;
        EXPECT_TRUE(
            temporary->name.starts_with(".marlune-export-" + std::to_string(::getpid()) + "-"));
        ASSERT_EQ(::write(temporary->fd, "new", 3), 3);
        ::close(temporary->fd);
        auto claimed = claimName(*folder, temporary->name, name);
        ASSERT_TRUE(claimed) << claimed.error().message;
        EXPECT_EQ(*claimed, expected);
        EXPECT_EQ(readFile(dir / expected), "new");
    }
    EXPECT_EQ(readFile(dir / "Clip export.mp4"), "earlier");
    // Every name taken: the temporary stays, nothing is replaced.
    auto temporary = createTemporary(*folder, kExportTemporaryPrefix, ".mp4");
    ASSERT_TRUE(temporary);
    ::close(temporary->fd);
    auto taken = claimName(*folder, temporary->name, [](int) { return "Clip export.mp4"; });
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().code, ErrorCode::nameTaken);
    EXPECT_EQ(readFile(dir / "Clip export.mp4"), "earlier");
    EXPECT_EQ(namesIn(dir.path()),
              (std::vector<std::string>{temporary->name, "Clip export 2.mp4", "Clip export 3.mp4",
                                        "Clip export.mp4"}));
}

TEST(TemporaryFiles, LeftoversOfEndedProcessesAreRemoved) {
    TempDir dir;
    // A process that has ended: its number is free now.
    pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string dead = std::to_string(gone);
    const std::string alive = std::to_string(::getpid());
    const std::vector<std::string> removed = {
        ".marlune-export-" + dead + "-abc.mp4", ".marlune-trim-" + dead + "-abc.mp4",
        ".marlune-save-" + dead + "-abc.json", "sub/.marlune-export-" + dead + "-x.mp4"};
    const std::vector<std::string> kept = {
        "Clip.mp4", ".marlune-export-" + alive + "-abc.mp4",  // still being written
        ".marlune-export-abc.mp4", ".marlune-exporter-" + dead + "-abc.mp4",
        "marlune-export-" + dead + "-abc.mp4"};
    const fs::path root = dir / "Marlune";
    for (const auto& name : removed) writeFile(root / name, "x");
    for (const auto& name : kept) writeFile(root / name, "x");
    // Nothing is followed: a link with a leftover's name, and a linked folder holding one.
    writeFile(dir / "elsewhere" / (".marlune-trim-" + dead + "-z.mp4"), "x");
    fs::create_symlink(dir / "elsewhere", root / "sub/linked");
    fs::create_symlink(root / "Clip.mp4", root / (".marlune-save-" + dead + "-link.json"));

    EXPECT_EQ(removeLeftoverTemporaries(root), static_cast<int>(removed.size()));
    for (const auto& name : removed) EXPECT_FALSE(fs::exists(root / name)) << name;
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(root / name)) << name;
    EXPECT_TRUE(fs::exists(dir / "elsewhere" / (".marlune-trim-" + dead + "-z.mp4")));
    EXPECT_TRUE(fs::is_symlink(root / (".marlune-save-" + dead + "-link.json")));
}

TEST(KeyValueStore, TypedReadsCoerceLikeADefaultsObject) {
    TempDir dir;
    KeyValueStore s(dir / "defaults.json");
    struct Case {
        std::optional<Json> stored;  // never stored differs from false and zero
        std::optional<bool> asBool;
        std::optional<std::int64_t> asInt;
        std::optional<double> asDouble;
        std::optional<std::string> asString;
    };
    const Case cases[] = {{std::nullopt, {}, {}, {}, {}},
                          {false, false, 0, 0.0, "false"},
                          {-1, true, -1, -1.0, "-1"},
                          {"abc", false, 0, 0.0, "abc"},
                          {"42", true, 42, 42.0, "42"},
                          {"YES", true, 0, 0.0, "YES"},
                          {2.75, true, 2, 2.75, "2.75"},
                          {Json::array({1}), false, 0, 0.0, std::nullopt},
                          {nullptr, false, 0, 0.0, std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored->dump() : "never stored");
        c.stored ? s.set("k", *c.stored) : s.remove("k");
        EXPECT_EQ(s.contains("k"), c.stored.has_value());
        EXPECT_EQ(s.boolValue("k"), c.asBool);
        EXPECT_EQ(s.integerValue("k"), c.asInt);
        EXPECT_EQ(s.doubleValue("k"), c.asDouble);
        EXPECT_EQ(s.stringValue("k"), c.asString);
    }
}

TEST(KeyValueStore, WritesWholePrivateFilesEvenFromManyThreads) {
    TempDir dir;
    fs::path file = dir / "nested" / "defaults.json";
    KeyValueStore s(file);
    s.set("seed", true);
    {
        KeyValueStore::Batch batch(s);
        s.set("fps", 60);
        EXPECT_FALSE(Json::parse(readFile(file)).contains("fps")) << "a batched write went early";
    }
    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        while (!stop) {
            Json j = Json::parse(readFile(file), nullptr, false);
            badReads += j.is_discarded() || !j.is_object();
        }
    });
    // Odd writers stand for other instances of the program sharing the file.
    std::vector<std::thread> writers;
    for (int t = 0; t < 6; ++t) {
        writers.emplace_back([&, t] {
            std::optional<KeyValueStore> own;
            if (t % 2) own.emplace(file);
            for (int i = 0; i < 40; ++i)
                (own ? *own : s).set("w" + std::to_string(t) + "_" + std::to_string(i), i);
        });
    }
    for (auto& w : writers) w.join();
    stop = true;
    reader.join();
    EXPECT_EQ(badReads.load(), 0);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    KeyValueStore reloaded(file);
    EXPECT_EQ(reloaded.integerValue("fps"), 60);
    for (int t = 0; t < 6; ++t) {
        for (int i = 0; i < 40; ++i) {
            EXPECT_EQ(reloaded.integerValue("w" + std::to_string(t) + "_" + std::to_string(i)), i);
        }
    }
    EXPECT_EQ(namesIn(file.parent_path()), std::vector<std::string>{"defaults.json"});
}

TEST(KeyValueStore, UnreadableFilesAreSetAsideAndTheStoreStartsEmpty) {
    for (std::string content : {std::string("{\"fps\": 6"), std::string("[1, 2, 3]"),
                                std::string("\0\xff\x01", 3), std::string()}) {
        SCOPED_TRACE(content);
        TempDir dir;
        fs::path file = dir / "defaults.json";
        writeFile(file, content);
        KeyValueStore s(file);
        EXPECT_FALSE(s.contains("fps"));
        auto aside = namesIn(dir.path(), "defaults.json.corrupt-");
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(readFile(dir / aside[0]), content) << "the damaged file must be kept as it was";
        s.set("fps", 60);
        EXPECT_EQ(KeyValueStore(file).integerValue("fps"), 60);
    }
    TempDir dir;
    // A folder where the file should be is set aside too.
    fs::create_directories(dir / "defaults.json" / "inner");
    KeyValueStore s(dir / "defaults.json");
    EXPECT_EQ(namesIn(dir.path(), "defaults.json.corrupt-").size(), 1u);
    // A parent that is a file: writes fail, values stay in memory, nothing crashes.
    writeFile(dir / "blocker", "x");
    KeyValueStore blocked(dir / "blocker" / "defaults.json");
    blocked.set("fps", 60);
    EXPECT_EQ(blocked.integerValue("fps"), 60);
}

}  // namespace
}  // namespace marlune
