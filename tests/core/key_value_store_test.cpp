#include "core/key_value_store.h"

#include <sys/stat.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;

std::vector<fs::path> corruptCopies(const fs::path& dir) {
    std::vector<fs::path> out;
    for (auto& e : fs::directory_iterator(dir)) {
        if (e.path().filename().string().starts_with("defaults.json.corrupt-")) out.push_back(e);
    }
    return out;
}

TEST(KeyValueStore, TypedReads) {
    // Never stored differs from false and zero; other kinds are coerced like a defaults object.
    TempDir dir;
    KeyValueStore s(dir / "defaults.json");
    struct Case {
        const char* what;
        std::optional<Json> stored;
        std::optional<bool> asBool;
        std::optional<std::int64_t> asInt;
        std::optional<double> asDouble;
        std::optional<std::string> asString;
    };
    const Case cases[] = {
        {"never stored", std::nullopt, {}, {}, {}, {}},
        {"false", false, false, 0, 0.0, "false"},
        {"empty text", "", false, 0, 0.0, ""},
        {"word", "abc", false, 0, 0.0, "abc"},
        {"numeric text", "42", true, 42, 42.0, "42"},
        {"yes text", "YES", true, 0, 0.0, "YES"},
        {"fraction", 2.75, true, 2, 2.75, "2.75"},
        {"true", true, true, 1, 1.0, "true"},
        {"zero", 0, false, 0, 0.0, "0"},
        {"array", Json::array({1}), false, 0, 0.0, std::nullopt},
        {"null", nullptr, false, 0, 0.0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.stored) {
            s.set("k", *c.stored);
        } else {
            s.remove("k");
        }
        EXPECT_EQ(s.contains("k"), c.stored.has_value());
        EXPECT_EQ(s.boolValue("k"), c.asBool);
        EXPECT_EQ(s.integerValue("k"), c.asInt);
        EXPECT_EQ(s.doubleValue("k"), c.asDouble);
        EXPECT_EQ(s.stringValue("k"), c.asString);
    }
}

TEST(KeyValueStore, PersistsPrivatelyAndReadsBack) {
    TempDir dir;
    fs::path file = dir / "nested" / "defaults.json";
    {
        KeyValueStore s(file);
        s.set("fps", 60);
        s.set("DevWebRoot", "/srv/web");
        {
            KeyValueStore::Batch batch(s);
            s.set("a", 1);
            s.set("b", 2);
            EXPECT_FALSE(Json::parse(readFile(file)).contains("a")) << "batched write went early";
        }
    }
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    KeyValueStore again(file);
    EXPECT_EQ(again.integerValue("fps"), 60);
    EXPECT_EQ(again.stringValue("DevWebRoot"), "/srv/web");
    EXPECT_EQ(again.integerValue("b"), 2);
    // A person can edit it: it is a flat, readable JSON object.
    EXPECT_EQ(Json::parse(readFile(file))["fps"], 60);
    // No temporary files are left behind.
    int entries = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(file.parent_path())) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(KeyValueStore, ConcurrentWritersNeverExposeAPartialFile) {
    TempDir dir;
    fs::path file = dir / "defaults.json";
    KeyValueStore s(file);
    s.set("seed", true);
    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        while (!stop) {
            Json j = Json::parse(readFile(file), nullptr, false);
            if (j.is_discarded() || !j.is_object()) ++badReads;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 6; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i)
                s.set("w" + std::to_string(t) + "_" + std::to_string(i), i);
        });
    }
    for (auto& w : writers) w.join();
    stop = true;
    reader.join();
    EXPECT_EQ(badReads.load(), 0);
    KeyValueStore reloaded(file);
    for (int t = 0; t < 6; ++t) {
        for (int i = 0; i < 40; ++i) {
            ASSERT_EQ(reloaded.integerValue("w" + std::to_string(t) + "_" + std::to_string(i)), i);
        }
    }
}

TEST(KeyValueStore, UnreadableFilesAreSetAsideAndTheStoreStartsEmpty) {
    struct Case {
        const char* what;
        std::string content;
    };
    const Case cases[] = {
        {"garbage", "{\"fps\": 6"},
        {"not an object", "[1, 2, 3]"},
        {"binary", std::string("\0\xff\x01", 3)},
        {"empty", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        fs::path file = dir / "defaults.json";
        writeFile(file, c.content);
        KeyValueStore s(file);
        EXPECT_FALSE(s.contains("fps"));
        auto aside = corruptCopies(dir.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(readFile(aside[0]), c.content) << "the damaged file must be kept as it was";
        s.set("fps", 60);
        EXPECT_EQ(KeyValueStore(file).integerValue("fps"), 60);
    }
}

TEST(KeyValueStore, SurvivesPathsItCannotUse) {
    TempDir dir;
    // A folder where the file should be: unreadable as a file, set aside.
    fs::create_directories(dir / "defaults.json" / "inner");
    KeyValueStore s(dir / "defaults.json");
    EXPECT_EQ(corruptCopies(dir.path()).size(), 1u);

    // A parent that is a file: writes fail, values stay in memory, nothing crashes.
    writeFile(dir / "blocker", "x");
    KeyValueStore blocked(dir / "blocker" / "defaults.json");
    blocked.set("fps", 60);
    EXPECT_EQ(blocked.integerValue("fps"), 60);
}

}  // namespace
}  // namespace marlune
