#include "core/folder_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using Kind = FolderFileError::Kind;
using test::readFile;
using test::TempDir;
using test::writeFile;

// A folder holding every kind of thing a recordings folder might, with a secret outside it.
struct Folder {
    TempDir dir;
    fs::path root = dir / "Marlune";

    Folder() {
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
    }
};

TEST(FolderFile, OpensOnlyRegularFilesInsideTheFolder) {
    Folder f;
    struct Case {
        const char* relative;
        std::optional<std::string> content;  // or the refusal below
        Kind refusal = Kind::missing;
    };
    const Case cases[] = {
        {"clip.mp4", "movie"},
        {"/clip.mp4", "movie"},
        {"sub/take.mp4", "take"},
        {"sub//take.mp4", "take"},
        {"missing.mp4", std::nullopt, Kind::missing},
        {"missing/take.mp4", std::nullopt, Kind::missing},
        {"empty", std::nullopt, Kind::notRegular},
        {"", std::nullopt, Kind::notRegular},
        {"pipe.mp4", std::nullopt, Kind::notRegular},
        {"out.mp4", std::nullopt, Kind::outside},
        {"up.mp4", std::nullopt, Kind::outside},
        {"away/secret.txt", std::nullopt, Kind::outside},
        {"../secret.txt", std::nullopt, Kind::outside},
        {"zero.mp4", std::nullopt, Kind::outside},
    };
    for (bool byComponents : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.relative) + (byComponents ? " (by components)" : ""));
            auto opened = byComponents ? FolderFile::openByComponents(f.root, c.relative, false)
                                       : FolderFile::open(f.root, c.relative);
            if (c.content) {
                ASSERT_TRUE(opened) << opened.error().message();
                EXPECT_EQ(opened->size(), c.content->size());
                EXPECT_EQ(opened->readAll(100), c.content);
                // The path handed to libraries reaches the same file.
                EXPECT_EQ(readFile(opened->procPath()), *c.content);
            } else {
                ASSERT_FALSE(opened);
                EXPECT_EQ(opened.error().kind, c.refusal);
            }
        }
    }
    // A link that stays inside is the kernel's to allow; the walk by hand refuses every link.
    auto alias = FolderFile::open(f.root, "alias.mp4");
    ASSERT_TRUE(alias) << alias.error().message();
    EXPECT_EQ(alias->readAll(100), "movie");
    EXPECT_EQ(FolderFile::openByComponents(f.root, "alias.mp4", false).error().kind, Kind::outside);
}

TEST(FolderFile, FoldersForWritingStayInside) {
    Folder f;
    for (bool byComponents : {false, true}) {
        auto open = [&](const char* relative) {
            return byComponents ? FolderFile::openByComponents(f.root, relative, true)
                                : FolderFile::openDirectory(f.root, relative);
        };
        EXPECT_TRUE(open(""));
        EXPECT_TRUE(open("sub"));
        EXPECT_FALSE(open("away")) << "a linked folder leading out";
        EXPECT_FALSE(open("clip.mp4"));
        EXPECT_FALSE(open("nowhere"));
    }
    auto sub = FolderFile::openDirectory(f.root, "sub");
    ASSERT_TRUE(sub);
    writeFile(sub->procPath() + "/new.txt", "through the folder");
    EXPECT_EQ(readFile(f.root / "sub/new.txt"), "through the folder");
}

TEST(FolderFile, ReadAllRefusesFilesOverTheLimit) {
    Folder f;
    writeFile(f.root / "big.json", std::string(100'000, 'x'));
    auto big = FolderFile::open(f.root, "big.json");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->readAll(99'999), std::nullopt);
    EXPECT_EQ(big->readAll(100'000)->size(), 100'000u);
    // Grown after it was opened: the limit still holds.
    std::ofstream(f.root / "big.json", std::ios::app) << "more";
    EXPECT_EQ(big->readAll(100'000), std::nullopt);
    EXPECT_EQ(big->readAll(100'004)->size(), 100'004u);
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
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
        ASSERT_TRUE(temporary) << temporary.error();
        EXPECT_TRUE(
            temporary->name.starts_with(".marlune-export-" + std::to_string(::getpid()) + "-"));
        ASSERT_EQ(::write(temporary->fd, "new", 3), 3);
        ::close(temporary->fd);
        auto claimed = claimName(*folder, temporary->name, name);
        ASSERT_TRUE(claimed) << claimed.error();
        EXPECT_EQ(*claimed, expected);
        EXPECT_EQ(readFile(dir / expected), "new");
    }
    EXPECT_EQ(readFile(dir / "Clip export.mp4"), "earlier");
    EXPECT_EQ(
        namesIn(dir.path()),
        (std::vector<std::string>{"Clip export 2.mp4", "Clip export 3.mp4", "Clip export.mp4"}));
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
        ".marlune-export-" + dead + "-abc.mp4",
        ".marlune-trim-" + dead + "-abc.mp4",
        ".marlune-save-" + dead + "-abc.json",
        "sub/.marlune-export-" + dead + "-x.mp4",
    };
    const std::vector<std::string> kept = {
        "Clip.mp4",
        ".marlune-export-" + alive + "-abc.mp4",  // still being written
        ".marlune-export-abc.mp4",
        ".marlune-exporter-" + dead + "-abc.mp4",
        ".hidden.mp4",
        "marlune-export-" + dead + "-abc.mp4",
        "sub/Take.mp4",
    };
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

TEST(FolderPath, SplitsPathsInsideTheirFolder) {
    struct Case {
        const char* folder;
        const char* file;
        std::optional<std::string> relative;
    };
    const Case cases[] = {
        {"/a/b", "/a/b/c.mp4", "c.mp4"},
        {"/a/b/", "/a/b/sub/./c.mp4", "sub/c.mp4"},
        {"/a/b", "/a/b/x/../c.mp4", "c.mp4"},
        {"/a/b", "/a/b", std::nullopt},
        {"/a/b", "/a/bc/d", std::nullopt},
        {"/a/b", "/a/b/../c", std::nullopt},
        {"/", "/etc", "etc"},
    };
    for (const auto& c : cases) {
        auto split = FolderPath::inside(c.folder, c.file);
        EXPECT_EQ(split ? std::optional(split->relative) : std::nullopt, c.relative) << c.file;
    }
}

}  // namespace
}  // namespace marlune
