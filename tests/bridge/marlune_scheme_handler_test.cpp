#include "bridge/marlune_scheme_handler.h"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/queue.h"
#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::runMainUntil;
using test::TempDir;
using test::writeFile;

// Bytes that differ from position to position, so that a slice from the wrong offset shows.
std::string patterned(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return s;
}

class RecordingSink : public SchemeResponseSink {
  public:
    void didReceiveResponse(const SchemeResponse& r) override {
        EXPECT_TRUE(isMainThread());
        EXPECT_FALSE(response) << "one response per task";
        response = r;
    }
    void didReceiveData(std::string bytes) override {
        EXPECT_TRUE(isMainThread());
        EXPECT_TRUE(response) << "data before the response";
        EXPECT_FALSE(finished) << "data after the finish";
        ++chunks;
        body += bytes;
        if (onData) onData();
    }
    void didFinish() override {
        EXPECT_TRUE(isMainThread());
        EXPECT_FALSE(finished);
        finished = true;
    }
    void didFail(const Error& e) override { failure = e; }
    void whenReadyForMore(std::function<void()> ready) override {
        if (holdReady) {
            pendingReady = std::move(ready);
        } else {
            ready();
        }
    }

    std::optional<SchemeResponse> response;
    std::string body;
    int chunks = 0;
    bool finished = false;
    std::optional<Error> failure;
    std::function<void()> onData;
    bool holdReady = false;
    std::function<void()> pendingReady;
};

class SchemeHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(root / "index.html", "<!doctype html><title>Marlune</title>");
        writeFile(root / "Style.CSS", "body{}");
        writeFile(root / "data.bin", patterned(300));
        writeFile(root / "empty.txt", "");
        writeFile(dir / "secret.txt", "outside the web root");
        writeFile(dir / "webroot-evil/index.html", "a sibling that shares the root's prefix");
        writeFile(media / "Clip one.mp4", patterned(1000));
        fs::create_directories(root / "folder");
        // Named like the page's files and movies, but pipes (reading one would block) and links
        // leading out of the folders.
        ::mkfifo((media / "pipe.mp4").c_str(), 0600);
        fs::create_symlink(dir / "secret.txt", media / "link.mp4");
        fs::create_symlink(dir / "secret.txt", root / "link.js");
        fs::create_symlink(dir.path(), root / "away");
        handler = std::make_shared<MarluneSchemeHandler>(MarluneSchemeHandler::Locations{
            .webRoot = [this]() -> std::optional<fs::path> { return root; },
            .mediaFolder = [this] { return media; },
        });
    }

    std::shared_ptr<RecordingSink> serve(const std::string& url,
                                         std::optional<std::string> range = std::nullopt) {
        auto sink = std::make_shared<RecordingSink>();
        handler->start({url, std::move(range)}, sink);
        EXPECT_TRUE(runMainUntil([&] { return handler->pendingTaskCount() == 0; },
                                 std::chrono::seconds(20)))
            << url;
        return sink;
    }

    TempDir dir;
    fs::path root = dir / "webroot";
    fs::path media = dir / "Videos/Marlune";
    std::shared_ptr<MarluneSchemeHandler> handler;
};

TEST(SchemeRange, ParsesEveryForm) {
    // Against a file of 300 bytes: the inclusive range, or "-" for none.
    const std::pair<const char*, const char*> cases[] = {
        {"bytes=10-19", "10-19"},     {"bytes=7-7", "7-7"},
        {"bytes=10-10000", "10-299"}, {"bytes=-100", "200-299"},
        {"  \tBYTES=5-6\t ", "5-6"},  {"bytes=,,5-6,0-1", "5-6"},
        {"bytes=299-", "299-299"},    {"bytes=300-", "-"},
        {"bytes=20-10", "-"},         {"bytes=-0", "-"},
        {"bytes=1-2-3", "-"},         {"bytes=+1-2", "-"},
        {"items=0-1", "-"},           {"bytes=99999999999999999999-", "-"}};
    for (auto [header, expected] : cases) {
        auto range = MarluneSchemeHandler::parseRange(header, 300);
        EXPECT_EQ(range ? std::to_string(range->first) + "-" + std::to_string(range->last) : "-",
                  expected)
            << header;
    }
    EXPECT_EQ(MarluneSchemeHandler::parseRange("bytes=0-", 0), std::nullopt);
}

TEST_F(SchemeHandlerTest, ResolvesUrlsInsideTheirFolders) {
    const std::string r = root.string();
    const std::string m = media.string();
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"marlune://app", r + "/index.html"},
        {"marlune://app/index.html?v=2#top", r + "/index.html"},
        {"marlune://app/a%20b/c%2Fd.txt", r + "/a b/c/d.txt"},
        // Escaped dots are dot segments too; they are removed before anything climbs.
        {"marlune://app/js/%2E%2E/%2E%2E/secret.txt", r + "/secret.txt"},
        {"marlune://app/..%2fwebroot-evil/index.html", std::nullopt},
        {"marlune://app/js%2F..%2F..%2Fsecret.txt", std::nullopt},
        {"marlune://app/nul%00.txt", std::nullopt},
        {"marlune://app/bad%zz", std::nullopt},
        {"marlune://app//etc/passwd", r + "/etc/passwd"},
        {"marlune://media/any/depth/Clip%20one.mp4", m + "/Clip one.mp4"},
        {"marlune://media/%2e%2e", std::nullopt},
        // Only the last component counts: escaped slashes cannot climb out.
        {"marlune://media/..%2F..%2Fsecret.txt", m + "/secret.txt"},
        {"marlune://media", std::nullopt},
        {"marlune://other/index.html", std::nullopt},
        {"not a url", std::nullopt}};
    for (const auto& [url, file] : cases) {
        auto got = handler->resolveFileURL(url);
        EXPECT_EQ(got ? std::optional(got->string()) : std::nullopt, file) << url;
    }
    // A sibling whose name starts with the root's is outside it.
    EXPECT_EQ(MarluneSchemeHandler::resolveAppPath(root, "/../webroot-evil/index.html"),
              std::nullopt);
    const std::pair<const char*, std::optional<std::string>> mediaPaths[] = {
        {"/a/b/Clip.mp4", m + "/Clip.mp4"}, {"/..", std::nullopt}, {"", std::nullopt}};
    for (const auto& [path, file] : mediaPaths) {
        auto got = MarluneSchemeHandler::resolveMediaPath(media, path);
        EXPECT_EQ(got ? std::optional(got->string()) : std::nullopt, file) << path;
    }
}

TEST_F(SchemeHandlerTest, AnswersWithStatusHeadersAndBytes) {
    using Headers = std::vector<std::pair<std::string, std::string>>;
    auto whole = [](const char* mime, std::size_t n) {
        return Headers{{"Content-Type", mime},
                       {"Accept-Ranges", "bytes"},
                       {"Content-Length", std::to_string(n)},
                       {"Cache-Control", "no-store"}};
    };
    auto part = [](const char* mime, std::size_t first, std::size_t last, std::size_t total) {
        return Headers{{"Content-Type", mime},
                       {"Accept-Ranges", "bytes"},
                       {"Content-Length", std::to_string(last - first + 1)},
                       {"Content-Range", "bytes " + std::to_string(first) + "-" +
                                             std::to_string(last) + "/" + std::to_string(total)},
                       {"Cache-Control", "no-store"}};
    };
    const Headers none = {{"Content-Length", "0"}};
    const std::string data = patterned(300), clip = patterned(1000);
    const std::string index = "<!doctype html><title>Marlune</title>";
    const std::string bin = "marlune://app/data.bin";
    struct Case {
        std::string url;
        std::optional<std::string> range;
        int status;
        Headers headers;
        std::string body;
    };
    const Case cases[] = {
        {"marlune://app", std::nullopt, 200, whole("text/html", index.size()), index},
        {"marlune://app/Style.CSS", std::nullopt, 200, whole("text/css", 6), "body{}"},
        {"marlune://app/empty.txt", std::nullopt, 200, whole("text/plain", 0), ""},
        {bin, std::nullopt, 200, whole("application/octet-stream", 300), data},
        {bin, "bytes=10-19", 206, part("application/octet-stream", 10, 19, 300),
         data.substr(10, 10)},
        {bin, "bytes=20-10", 416, none, ""},
        {"marlune://app/empty.txt", "bytes=0-", 416, none, ""},
        {"marlune://app/folder", "bytes=0-", 404, none, ""},
        {"marlune://media/pipe.mp4", std::nullopt, 404, none, ""},
        {"marlune://media/link.mp4", "bytes=0-", 404, none, ""},
        {"marlune://app/link.js", std::nullopt, 404, none, ""},
        {"marlune://app/away/secret.txt", "bytes=0-", 404, none, ""},
        {"marlune://media/x/Clip%20one.mp4", "bytes=990-", 206, part("video/mp4", 990, 999, 1000),
         clip.substr(990)},
        {"marlune://media/Clip%20one.mp4", std::nullopt, 200, whole("video/mp4", 1000), clip}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " Range: " + c.range.value_or("(none)"));
        auto sink = serve(c.url, c.range);
        ASSERT_TRUE(sink->response);
        EXPECT_EQ(sink->response->status, c.status);
        EXPECT_EQ(sink->response->headers, c.headers);
        EXPECT_EQ(sink->body, c.body);
        EXPECT_TRUE(sink->finished);
    }
}

// An open range of a long movie is cut to a slice the page can hold; a whole file arrives whole.
TEST_F(SchemeHandlerTest, LongRangesAreCappedAndWholeFilesStreamComplete) {
    const std::string movie = patterned(20'000'000);
    writeFile(media / "Long.mp4", movie);
    auto sink = serve("marlune://media/Long.mp4", "bytes=0-");
    ASSERT_TRUE(sink->response);
    EXPECT_EQ(sink->response->header("Content-Range"), "bytes 0-8388607/20000000");
    EXPECT_TRUE(sink->body == movie.substr(0, 8'388'608));
    sink = serve("marlune://media/Long.mp4");
    EXPECT_EQ(sink->response->header("Content-Length"), "20000000");
    EXPECT_TRUE(sink->body == movie);
    EXPECT_TRUE(sink->finished);
}

TEST_F(SchemeHandlerTest, StoppedWholeFileGetsNothingMore) {
    writeFile(media / "Long.mp4", patterned(5 * 1'048'576 + 17));
    auto sink = std::make_shared<RecordingSink>();
    MarluneSchemeHandler::TaskId id = 0;
    sink->onData = [&] { handler->stop(id); };  // the page gives up after the first chunk
    id = handler->start({"marlune://media/Long.mp4", std::nullopt}, sink);
    ASSERT_TRUE(runMainUntil([&] { return handler->pendingTaskCount() == 0; }));
    test::runMainFor(std::chrono::milliseconds(50));
    EXPECT_EQ(sink->chunks, 1);
    EXPECT_EQ(sink->body.size(), 1'048'576u);
    EXPECT_FALSE(sink->finished);

    // Stopped before the response: nothing at all reaches the sink.
    for (const char* url : {"marlune://media/Long.mp4", "marlune://app/missing"}) {
        auto quiet = std::make_shared<RecordingSink>();
        handler->stop(handler->start({url, std::nullopt}, quiet));
        ASSERT_TRUE(runMainUntil([&] { return handler->pendingTaskCount() == 0; }));
        EXPECT_FALSE(quiet->response) << url;
        EXPECT_EQ(quiet->chunks, 0) << url;
        EXPECT_FALSE(quiet->finished) << url;
    }
}

TEST_F(SchemeHandlerTest, WholeFilesWaitForTheReader) {
    writeFile(media / "Long.mp4", patterned(4 * 1'048'576));
    auto sink = std::make_shared<RecordingSink>();
    sink->holdReady = true;
    auto id = handler->start({"marlune://media/Long.mp4", std::nullopt}, sink);

    // The first chunk comes with the response; each next one is read only once the reader has
    // asked for it.
    ASSERT_TRUE(runMainUntil([&] { return sink->chunks == 1; }));
    for (int expected = 1; expected < 3; ++expected) {
        ASSERT_TRUE(runMainUntil([&] { return bool(sink->pendingReady); }));
        test::runMainFor(std::chrono::milliseconds(30));
        EXPECT_EQ(sink->chunks, expected);
        auto ready = std::move(sink->pendingReady);
        sink->pendingReady = nullptr;
        ready();
        ASSERT_TRUE(runMainUntil([&] { return sink->chunks == expected + 1; }));
    }

    // The reader goes away while the handler waits for it: it runs `ready`, the handler sees the
    // stop and lets the file go.
    ASSERT_TRUE(runMainUntil([&] { return bool(sink->pendingReady); }));
    handler->stop(id);
    auto ready = std::move(sink->pendingReady);
    sink->pendingReady = nullptr;
    ready();
    ready = nullptr;
    ASSERT_TRUE(runMainUntil([&] { return handler->pendingTaskCount() == 0; }));
    EXPECT_EQ(sink->chunks, 3);
    EXPECT_FALSE(sink->finished);
    // Once the task is over nothing of the handler's keeps the sink alive.
    std::weak_ptr<RecordingSink> released = sink;
    sink.reset();
    EXPECT_TRUE(released.expired());
}

}  // namespace
}  // namespace marlune
