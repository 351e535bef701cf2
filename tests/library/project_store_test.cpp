// Guards project files: unreadable ones load as nothing, bad data is refused, writes are atomic.

#include "library/project_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <thread>

#include "support/recordings_folder.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

// Files in the folder other than the ones named: leftovers of a write.
std::vector<std::string> strayFiles(const fs::path& dir, std::initializer_list<std::string> known) {
    std::vector<std::string> stray;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        if (std::find(known.begin(), known.end(), name) == known.end()) stray.push_back(name);
    }
    return stray;
}

// What load gives when it does not refuse the file.
std::optional<Json> loaded(const ProjectStore& store, std::string_view name) {
    auto result = store.load(name);
    EXPECT_TRUE(result) << name << ": " << result.error().message;
    return result ? *result : std::nullopt;
}

TEST(ProjectStore, LoadYieldsNothingForWhatIsNotAProjectObject) {
    fs::path dir = test::freshRecordingsFolder();
    ProjectStore store;
    EXPECT_EQ(loaded(store, "Clip.mp4"), std::nullopt) << "never saved";
    for (std::string content :
         {"[1,2]", "{\"a\":", "", "{\"a\":\"\xff\xfe\"}", "{\"a\":1} {\"b\":2}"}) {
        writeFile(dir / "Clip.mp4.marlune.json", content);
        EXPECT_EQ(loaded(store, "Clip.mp4"), std::nullopt) << content;
    }
    fs::remove(dir / "Clip.mp4.marlune.json");
    fs::create_directory(dir / "Clip.mp4.marlune.json");
    EXPECT_EQ(loaded(store, "Clip.mp4"), std::nullopt) << "a folder";
}

TEST(ProjectStore, SaveRefusesUnwritableData) {
    fs::path dir = test::freshRecordingsFolder();
    ProjectStore store;
    const std::string original = "{\n  \"version\": 1\n}\n";
    writeFile(dir / "Clip.mp4.marlune.json", original);

    Json nan = {{"a", {{"b", std::nan("")}}}};
    Json badText = {{"a", "\xff"}};
    for (const Json* bad : {&nan, &badText}) {
        auto r = store.save("Clip.mp4", *bad);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message, "Invalid project data.");
        EXPECT_EQ(readFile(dir / "Clip.mp4.marlune.json"), original) << "file untouched";
    }
    EXPECT_TRUE(strayFiles(dir, {"Clip.mp4.marlune.json"}).empty());
}

TEST(ProjectStore, ReadersNeverSeeAHalfWrittenFile) {
    fs::path dir = test::freshRecordingsFolder();
    ProjectStore store;
    // Big enough that a plain rewrite would be seen half done.
    Json a = Json::object(), b = Json::object();
    for (int i = 0; i < 4000; ++i) {
        a["k" + std::to_string(i)] = i;
        b["k" + std::to_string(i)] = "value " + std::to_string(i);
    }
    a["big"] = std::uint64_t{9007199254740993};  // beyond a double's exact integers
    ASSERT_TRUE(store.save("Clip.mp4", b));
    auto readWhole = [](std::ifstream in) {
        return Json::parse(std::string(std::istreambuf_iterator<char>(in), {}), nullptr, false);
    };
    // Opened before the saves and read after them: a rewrite in place would show this reader an
    // emptied or mixed file; a replacement leaves it the old one, whole.
    std::ifstream early(dir / "Clip.mp4.marlune.json", std::ios::binary);

    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, bad{0};
    std::thread reader([&] {
        while (!stop) {
            Json v = readWhole(std::ifstream(dir / "Clip.mp4.marlune.json", std::ios::binary));
            if (v != a && v != b) ++bad;
            ++reads;
        }
    });
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(store.save("Clip.mp4", i % 2 ? a : b));
    stop = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(bad.load(), 0) << "of " << reads.load() << " reads";
    EXPECT_EQ(readWhole(std::move(early)), b);
    EXPECT_EQ(loaded(store, "Clip.mp4"), a);
    EXPECT_TRUE(strayFiles(dir, {"Clip.mp4.marlune.json"}).empty());
}

}  // namespace
}  // namespace marlune
