#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/folder_file.h"
#include "core/key_value_store.h"

namespace marlune {

class Queue;

// The head of one answer of the local scheme; the loopback media server sends the same heads.
struct SchemeResponse {
    int status = 200;
    // In the order they are sent.
    std::vector<std::pair<std::string, std::string>> headers;

    // The value of the first header of that name (compared without regard to case).
    std::optional<std::string> header(std::string_view name) const;
};

// An inclusive byte range of a file.
struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;

    std::uint64_t length() const { return last - first + 1; }
    bool operator==(const ByteRange&) const = default;
};

// One request of the scheme: its URL and its "Range" header, if any.
struct SchemeRequest {
    std::string url;
    std::optional<std::string> range;
};

// Where the answer to one request goes: the web view's scheme task, or a test. The handler calls
// it on the main thread only: either `didFail` alone, or `didReceiveResponse`, then
// `didReceiveData` any number of times, then `didFinish` (which is left out when the answer was
// cut short by a stop or a read error). Nothing is called once the task has been stopped.
class SchemeResponseSink {
  public:
    virtual ~SchemeResponseSink() = default;

    virtual void didReceiveResponse(const SchemeResponse& response) = 0;
    virtual void didReceiveData(std::string bytes) = 0;
    virtual void didFinish() = 0;
    // The request could not be served at all (it had no URL).
    virtual void didFail(const Error& error) = 0;

    // Flow control for whole files: the first chunk comes with the response, and the handler reads
    // each next one only once `ready` has run, so a slow reader never makes it hold more than a
    // chunk or two. A sink that takes data as fast as it comes runs it at once (the default). One
    // that waits must run `ready` (on the main thread, once) when it has room again and also when
    // its reader goes away, so that the handler sees the stop and releases the file.
    virtual void whenReadyForMore(std::function<void()> ready) { ready(); }
};

// Serves the "marlune" URL scheme: host "app" answers with the page's files from the web root,
// host "media" with the recordings. Byte ranges are honoured (one range per answer, at most
// 8 MiB of it); whole files stream in 1 MiB reads. All file work happens on the ".scheme" serial
// queue; every call into a sink happens on the main queue and is skipped for stopped tasks.
//
// Threads: `start` and `stop` on the main thread; the static helpers on any thread. Owned through
// a shared_ptr; queued work holds it weakly and does nothing once it is gone.
class MarluneSchemeHandler : public std::enable_shared_from_this<MarluneSchemeHandler> {
  public:
    using TaskId = std::uint64_t;

    static constexpr std::uint64_t kMaxRangeBytes = 8'388'608;
    static constexpr std::size_t kChunkBytes = 1'048'576;

    // Where the two hosts find their files, asked afresh for every request (from the ".scheme"
    // queue).
    struct Locations {
        std::function<std::optional<std::filesystem::path>()> webRoot;
        std::function<std::filesystem::path()> mediaFolder;
    };

    explicit MarluneSchemeHandler(Locations locations);
    // The application's locations: `webRoot(defaults)` and the recordings folder.
    static std::shared_ptr<MarluneSchemeHandler> forApp(std::shared_ptr<KeyValueStore> defaults);
    ~MarluneSchemeHandler();

    // Starts serving a request. The returned identity is what `stop` takes; identities are never
    // reused. Main thread.
    TaskId start(SchemeRequest request, std::shared_ptr<SchemeResponseSink> sink);
    // The web view gave up on a task: it receives nothing more. Main thread.
    void stop(TaskId task);
    // Tasks started whose last step has not run yet. Any thread.
    std::size_t pendingTaskCount() const;

    // The folder of the page's files: "DevWebRoot" from the defaults ("~" expanded) when that
    // folder holds "index.html"; else `<executable dir>/../share/marlune/web` (the installed
    // layout, which the build tree mirrors); else the build tree's copy. Nothing when none exists.
    static std::optional<std::filesystem::path> webRoot(const KeyValueStore& defaults);

    // Parses a "Range" header against a file of `total` bytes. Only the first range of a
    // multi-range request counts. Nothing when the header is malformed or unsatisfiable.
    static std::optional<ByteRange> parseRange(std::string_view header, std::uint64_t total);

    // By the lower-cased extension; "application/octet-stream" when unknown.
    static std::string_view mimeType(const std::filesystem::path& file);

    // The file a URL names, or nothing (unknown host, a path that leaves its folder, a path with
    // an escaped NUL byte). The file need not exist.
    std::optional<std::filesystem::path> resolveFileURL(std::string_view url) const;
    // The two hosts' rules on a percent-decoded URL path.
    static std::optional<std::filesystem::path> resolveAppPath(const std::filesystem::path& root,
                                                               std::string_view path);
    static std::optional<std::filesystem::path> resolveMediaPath(
        const std::filesystem::path& folder, std::string_view path);

    // The three kinds of answer heads.
    static SchemeResponse wholeFileResponse(std::string_view mime, std::uint64_t size);
    static SchemeResponse rangeResponse(std::string_view mime, ByteRange range,
                                        std::uint64_t total);
    static SchemeResponse errorResponse(int status);
    // The HTTP reason phrase of a status the handler and the media server answer with.
    static const char* reasonPhrase(int status);

  private:
    struct Task;

    void serve(const std::shared_ptr<Task>& task);
    void serveRange(const std::shared_ptr<Task>& task, const FolderFile& file,
                    std::string_view mime, ByteRange range, std::uint64_t size);
    void serveWholeFile(const std::shared_ptr<Task>& task, FolderFile file, std::string_view mime,
                        std::uint64_t size);
    // The folder and the path inside it that a URL names.
    std::optional<FolderPath> resolveTarget(std::string_view url) const;
    // Reads and delivers the next chunk of a whole file (after `head`, when given); the last one
    // ends the body.
    void readNextChunk(const std::shared_ptr<Task>& task,
                       std::optional<SchemeResponse> head = std::nullopt);
    void askForMore(const std::shared_ptr<Task>& task);
    void respondError(const std::shared_ptr<Task>& task, int status);
    // Runs `deliver` on the main queue unless the task is stopped; with `last`, the task's
    // identity then leaves the stopped set either way.
    void onMain(const std::shared_ptr<Task>& task, bool last, std::function<void()> deliver);
    bool isStopped(TaskId id) const;

    Locations locations_;
    std::shared_ptr<Queue> ioQueue_;
    mutable std::mutex lock_;
    std::set<TaskId> stoppedTasks_;  // guarded by lock_
    std::set<TaskId> pendingTasks_;  // guarded by lock_
    TaskId nextId_ = 1;              // main thread
};

}  // namespace marlune
