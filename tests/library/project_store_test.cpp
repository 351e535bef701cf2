// Saving and loading project files; the names refused and the errors as the page sees them are
// proven through the bridge (tests/integration/library_commands_test.cpp).

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

TEST(ProjectStore, SaveReplacesAndLoadReadsBack) {
    fs::path dir = test::freshRecordingsFolder();
    ProjectStore store;
    EXPECT_EQ(loaded(store, "Clip.mp4"), std::nullopt) << "never saved";

    Json first = Json::parse(R"({"version":1,"clicks":[{"t":12,"fx":0.5,"fy":0.25}],
        "cursorPath":[[0,0.1,0.2,"arrow"]],"title":"Démo \"one\" / ☃","big":9007199254740993})");
    ASSERT_TRUE(store.save("Clip.mp4", first));
    EXPECT_EQ(loaded(store, "Clip.mp4"), first);
    std::string text = readFile(dir / "Clip.mp4.marlune.json");
    EXPECT_NE(text.find("\n  \"version\": 1"), std::string::npos) << "indented: " << text;

    ASSERT_TRUE(store.save("Clip.mp4", Json::object()));
    EXPECT_EQ(loaded(store, "Clip.mp4"), Json::object()) << "nothing of the old file survives";
    EXPECT_TRUE(strayFiles(dir, {"Clip.mp4.marlune.json"}).empty());
}

TEST(ProjectStore, LoadYieldsNothingForWhatIsNotAProjectObject) {
    fs::path dir = test::freshRecordingsFolder();
    ProjectStore store;
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
    Json inf = {{"list", {1.0, std::numeric_limits<double>::infinity()}}};
    Json badText = {{"a", "\xff"}};
    Json array = Json::array({1, 2});
    for (const Json* bad : {&nan, &inf, &badText, &array}) {
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
