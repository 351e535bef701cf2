#include "bridge/marlune_scheme_handler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <system_error>

#include <glib.h>

#include "core/paths.h"
#include "core/queue.h"
#include "library/recordings_library.h"

namespace marlune {

namespace fs = std::filesystem;

namespace {

std::string lowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trimSpacesAndTabs(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Digits only (no sign, no spaces), within 64 bits.
std::optional<std::uint64_t> unsignedDecimal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Absolute, "." and ".." resolved, no trailing separator.
std::string standardized(const std::string& path) {
    std::string s = fs::path(path).lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

bool isInside(const std::string& candidate, const std::string& folder) {
    return candidate.size() > folder.size() && candidate.starts_with(folder) &&
           candidate[folder.size()] == '/';
}

std::optional<std::string> percentDecoded(std::string_view text) {
    // Refuses malformed escapes and an escaped NUL, which would cut the file name short.
    char* decoded = g_uri_unescape_segment(text.data(), text.data() + text.size(), nullptr);
    if (!decoded) return std::nullopt;
    std::string out(decoded);
    g_free(decoded);
    return out;
}

std::optional<fs::path> directoryWithIndex(const fs::path& dir) {
    std::error_code ec;
    fs::path standard = standardized(fs::absolute(dir, ec).string());
    if (ec || !fs::exists(standard / "index.html", ec)) return std::nullopt;
    return standard;
}

#ifndef MARLUNE_BUILD_WEB_ROOT
#define MARLUNE_BUILD_WEB_ROOT ""
#endif

}  // namespace

std::optional<std::string> SchemeResponse::header(std::string_view name) const {
    std::string wanted = lowercase(name);
    for (const auto& [key, value] : headers) {
        if (lowercase(key) == wanted) return value;
    }
    return std::nullopt;
}

struct MarluneSchemeHandler::Task {
    TaskId id = 0;
    SchemeRequest request;
    std::shared_ptr<SchemeResponseSink> sink;  // the main queue's; released by the last step
    std::optional<FolderFile> file;  // the whole file being streamed; the ".scheme" queue's
    std::uint64_t left = 0;          // of its size, the bytes not read yet; the ".scheme" queue's
};

MarluneSchemeHandler::MarluneSchemeHandler(Locations locations)
    : locations_(std::move(locations)), ioQueue_(Queue::makeSerial(".scheme")) {}

MarluneSchemeHandler::~MarluneSchemeHandler() = default;

std::shared_ptr<MarluneSchemeHandler> MarluneSchemeHandler::forApp(
    std::shared_ptr<KeyValueStore> defaults) {
    return std::make_shared<MarluneSchemeHandler>(Locations{
        .webRoot = [defaults] { return webRoot(*defaults); },
        .mediaFolder = [] { return RecordingsLibrary::dirURL(); },
    });
}

// ---------------------------------------------------------------------------------------------
// Pure rules

std::optional<fs::path> MarluneSchemeHandler::webRoot(const KeyValueStore& defaults) {
    if (auto dev = defaults.value("DevWebRoot"); dev && dev->is_string()) {
        std::string path = dev->get<std::string>();
        if (path == "~" || path.starts_with("~/")) {
            path = paths::homeDir().string() + path.substr(1);
        }
        if (!path.empty()) {
            if (auto root = directoryWithIndex(path)) return root;
        }
    }
    if (auto installed = directoryWithIndex(paths::executableDir() / "../share/marlune/web")) {
        return installed;
    }
    std::string_view buildCopy = MARLUNE_BUILD_WEB_ROOT;
    if (!buildCopy.empty()) return directoryWithIndex(fs::path(buildCopy));
    return std::nullopt;
}

std::optional<ByteRange> MarluneSchemeHandler::parseRange(std::string_view header,
                                                          std::uint64_t total) {
    if (total == 0) return std::nullopt;
    std::string text = lowercase(trimSpacesAndTabs(header));
    constexpr std::string_view prefix = "bytes=";
    if (!std::string_view(text).starts_with(prefix)) return std::nullopt;
    std::string_view ranges = std::string_view(text).substr(prefix.size());

    // The first non-empty piece between commas; later ranges are ignored.
    std::optional<std::string_view> firstRange;
    while (!firstRange) {
        auto comma = ranges.find(',');
        std::string_view piece = ranges.substr(0, comma);
        if (!piece.empty()) firstRange = piece;
        if (comma == std::string_view::npos) break;
        ranges.remove_prefix(comma + 1);
    }
    if (!firstRange) return std::nullopt;
    std::string_view range = trimSpacesAndTabs(*firstRange);

    auto dash = range.find('-');
    if (dash == std::string_view::npos || range.find('-', dash + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view a = range.substr(0, dash);
    std::string_view b = range.substr(dash + 1);

    if (!a.empty()) {
        auto first = unsignedDecimal(a);
        if (!first || *first >= total) return std::nullopt;
        if (b.empty()) return ByteRange{*first, total - 1};
        auto last = unsignedDecimal(b);
        if (!last || *last < *first) return std::nullopt;
        return ByteRange{*first, std::min(*last, total - 1)};
    }
    auto suffix = unsignedDecimal(b);
    if (!suffix || *suffix == 0) return std::nullopt;
    std::uint64_t n = std::min(*suffix, total);
    return ByteRange{total - n, total - 1};
}

std::string_view MarluneSchemeHandler::mimeType(const fs::path& file) {
    static constexpr std::pair<std::string_view, std::string_view> kMimeTypes[] = {
        {"html", "text/html"},        {"css", "text/css"},      {"js", "text/javascript"},
        {"json", "application/json"}, {"png", "image/png"},     {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},       {"svg", "image/svg+xml"}, {"gif", "image/gif"},
        {"mp4", "video/mp4"},         {"webp", "image/webp"},   {"ico", "image/x-icon"},
        {"woff2", "font/woff2"},      {"txt", "text/plain"},    {"webm", "video/webm"},
    };
    std::string ext = file.extension().string();
    if (!ext.empty()) ext = lowercase(std::string_view(ext).substr(1));
    for (auto [key, mime] : kMimeTypes) {
        if (key == ext) return mime;
    }
    return "application/octet-stream";
}

std::optional<fs::path> MarluneSchemeHandler::resolveAppPath(const fs::path& root,
                                                             std::string_view path) {
    if (path.empty() || path == "/") path = "/index.html";
    std::string base = standardized(root.string());
    // Appended as text: a path that looks absolute still starts inside the root.
    std::string candidate = standardized(base + "/" + std::string(path.substr(1)));
    if (candidate == base || isInside(candidate, base)) return fs::path(candidate);
    return std::nullopt;
}

std::optional<fs::path> MarluneSchemeHandler::resolveMediaPath(const fs::path& folder,
                                                               std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    std::string_view name =
        path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
    if (name.empty()) return std::nullopt;
    std::string base = standardized(folder.string());
    std::string candidate = standardized(base + "/" + std::string(name));
    if (isInside(candidate, base)) return fs::path(candidate);
    return std::nullopt;
}

std::optional<fs::path> MarluneSchemeHandler::resolveFileURL(std::string_view url) const {
    auto target = resolveTarget(url);
    if (!target) return std::nullopt;
    return target->full();
}

std::optional<FolderPath> MarluneSchemeHandler::resolveTarget(std::string_view url) const {
    GUri* uri = g_uri_parse(
        std::string(url).c_str(),
        static_cast<GUriFlags>(G_URI_FLAGS_PARSE_RELAXED | G_URI_FLAGS_ENCODED_PATH |
                               G_URI_FLAGS_ENCODED_QUERY | G_URI_FLAGS_ENCODED_FRAGMENT),
        nullptr);
    if (!uri) return std::nullopt;
    const char* hostText = g_uri_get_host(uri);
    std::string host = hostText ? hostText : "";
    std::optional<std::string> path = percentDecoded(g_uri_get_path(uri));
    g_uri_unref(uri);
    if (!path) return std::nullopt;

    if (host == "app") {
        auto root = locations_.webRoot ? locations_.webRoot() : std::nullopt;
        if (!root) return std::nullopt;
        auto file = resolveAppPath(*root, *path);
        if (!file) return std::nullopt;
        return FolderPath::inside(*root, *file);
    }
    if (host == "media") {
        std::error_code ec;
        fs::path folder = fs::absolute(locations_.mediaFolder(), ec);
        if (ec) return std::nullopt;
        auto file = resolveMediaPath(folder, *path);
        if (!file) return std::nullopt;
        return FolderPath::inside(folder, *file);
    }
    return std::nullopt;
}

SchemeResponse MarluneSchemeHandler::wholeFileResponse(std::string_view mime, std::uint64_t size) {
    return {200,
            {{"Content-Type", std::string(mime)},
             {"Accept-Ranges", "bytes"},
             {"Content-Length", std::to_string(size)},
             {"Cache-Control", "no-store"}}};
}

SchemeResponse MarluneSchemeHandler::rangeResponse(std::string_view mime, ByteRange range,
                                                   std::uint64_t total) {
    return {206,
            {{"Content-Type", std::string(mime)},
             {"Accept-Ranges", "bytes"},
             {"Content-Length", std::to_string(range.length())},
             {"Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                   std::to_string(range.last) + "/" + std::to_string(total)},
             {"Cache-Control", "no-store"}}};
}

SchemeResponse MarluneSchemeHandler::errorResponse(int status) {
    return {status, {{"Content-Length", "0"}}};
}

// ---------------------------------------------------------------------------------------------
// Tasks

MarluneSchemeHandler::TaskId MarluneSchemeHandler::start(SchemeRequest request,
                                                         std::shared_ptr<SchemeResponseSink> sink) {
    MARLUNE_ASSERT_ON(Queue::main());
    TaskId id = nextId_++;
    if (request.url.empty()) {
        sink->didFail(Error{"Bad URL"});
        return id;
    }
    auto task = std::make_shared<Task>();
    task->id = id;
    task->request = std::move(request);
    task->sink = std::move(sink);
    {
        std::lock_guard guard(lock_);
        pendingTasks_.insert(id);
    }
    postIfAlive(*ioQueue_, weak_from_this(),
                [task](MarluneSchemeHandler& self) { self.serve(task); });
    return id;
}

void MarluneSchemeHandler::stop(TaskId task) {
    MARLUNE_ASSERT_ON(Queue::main());
    std::lock_guard guard(lock_);
    // A task that already ran its last step is not remembered: nothing more would reach it.
    if (pendingTasks_.contains(task)) stoppedTasks_.insert(task);
}

std::size_t MarluneSchemeHandler::pendingTaskCount() const {
    std::lock_guard guard(lock_);
    return pendingTasks_.size();
}

bool MarluneSchemeHandler::isStopped(TaskId id) const {
    std::lock_guard guard(lock_);
    return stoppedTasks_.contains(id);
}

void MarluneSchemeHandler::onMain(const std::shared_ptr<Task>& task, bool last,
                                  std::function<void()> deliver) {
    postIfAlive(Queue::main(), weak_from_this(),
                [task, last, deliver = std::move(deliver)](MarluneSchemeHandler& self) {
                    if (!self.isStopped(task->id)) deliver();
                    if (last) {
                        // The work that queued this step may still be unwinding on the ".scheme"
                        // queue with its own copy of the task, so the task can outlive this step;
                        // the sink must not: the handler lets it go before the task stops counting
                        // as pending.
                        task->sink.reset();
                        std::lock_guard guard(self.lock_);
                        self.stoppedTasks_.erase(task->id);
                        self.pendingTasks_.erase(task->id);
                    }
                });
}

void MarluneSchemeHandler::serve(const std::shared_ptr<Task>& task) {
    MARLUNE_ASSERT_ON(ioQueue_);
    auto target = resolveTarget(task->request.url);
    if (!target) return respondError(task, 404);
    // Only regular files inside the folder: a directory has no body, a pipe or device would block
    // this queue, and a symbolic link may point anywhere.
    auto file = target->open();
    if (!file) {
        return respondError(task,
                            file.error().kind == FolderFileError::Kind::unreadable ? 500 : 404);
    }
    const std::uint64_t size = file->size();
    std::string_view mime = mimeType(target->relative);
    if (task->request.range) {
        auto range = parseRange(*task->request.range, size);
        if (!range) return respondError(task, 416);
        return serveRange(task, *file, mime, *range, size);
    }
    serveWholeFile(task, std::move(*file), mime, size);
}

void MarluneSchemeHandler::serveRange(const std::shared_ptr<Task>& task, const FolderFile& file,
                                      std::string_view mime, ByteRange range, std::uint64_t size) {
    std::uint64_t first = range.first;
    std::uint64_t last = std::min({range.last, first + kMaxRangeBytes - 1, size - 1});
    if (first > last) return respondError(task, 416);

    std::string bytes(last - first + 1, '\0');
    std::size_t got = 0;
    bool failed = false;
    while (got < bytes.size()) {
        ssize_t n = ::pread(file.fd(), bytes.data() + got, bytes.size() - got,
                            static_cast<off_t>(first + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = true;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (failed || got == 0) return respondError(task, 500);
    bytes.resize(got);

    SchemeResponse head = rangeResponse(mime, {first, first + got - 1}, size);
    onMain(task, true, [task, head = std::move(head), bytes = std::move(bytes)]() mutable {
        task->sink->didReceiveResponse(head);
        task->sink->didReceiveData(std::move(bytes));
        task->sink->didFinish();
    });
}

void MarluneSchemeHandler::serveWholeFile(const std::shared_ptr<Task>& task, FolderFile file,
                                          std::string_view mime, std::uint64_t size) {
    task->file = std::move(file);
    task->left = size;
    // The head goes with the first chunk: a file of one chunk (every page file) is answered in a
    // single step on the main queue.
    readNextChunk(task, wholeFileResponse(mime, size));
}

// Queues, behind the deliveries already queued, a request to the sink for the next chunk. A
// stopped task skips the sink and goes straight back to the reading loop, which ends it.
void MarluneSchemeHandler::askForMore(const std::shared_ptr<Task>& task) {
    postIfAlive(Queue::main(), weak_from_this(), [task](MarluneSchemeHandler& self) {
        auto next = [weak = self.weak_from_this(), task] {
            if (auto alive = weak.lock()) {
                postIfAlive(*alive->ioQueue_, weak,
                            [task](MarluneSchemeHandler& handler) { handler.readNextChunk(task); });
            }
        };
        if (self.isStopped(task->id)) {
            next();
        } else {
            task->sink->whenReadyForMore(std::move(next));
        }
    });
}

void MarluneSchemeHandler::readNextChunk(const std::shared_ptr<Task>& task,
                                         std::optional<SchemeResponse> head) {
    MARLUNE_ASSERT_ON(ioQueue_);
    if (isStopped(task->id)) {
        task->file.reset();
        return onMain(task, true, [] {});
    }
    // No more than the size the head announced: a file that grows meanwhile is cut there. The
    // buffer is only as large as what is left, and is not cleared first.
    std::string chunk;
    chunk.resize_and_overwrite(std::min<std::uint64_t>(kChunkBytes, task->left),
                               [&](char* data, std::size_t size) {
                                   if (size == 0) return std::size_t{0};
                                   ssize_t n;
                                   do {
                                       n = ::read(task->file->fd(), data, size);
                                   } while (n < 0 && errno == EINTR);
                                   return n > 0 ? static_cast<std::size_t>(n) : 0;
                               });
    // The end of the file, and a read error, end the body; a file that shrank, or a read error,
    // leaves it short.
    task->left -= chunk.size();
    const bool last = chunk.empty() || task->left == 0;
    if (last) task->file.reset();
    onMain(task, last, [task, last, head = std::move(head), chunk = std::move(chunk)]() mutable {
        if (head) task->sink->didReceiveResponse(*head);
        if (!chunk.empty()) task->sink->didReceiveData(std::move(chunk));
        if (last) task->sink->didFinish();
    });
    if (!last) askForMore(task);
}

void MarluneSchemeHandler::respondError(const std::shared_ptr<Task>& task, int status) {
    onMain(task, true, [task, head = errorResponse(status)] {
        task->sink->didReceiveResponse(head);
        task->sink->didFinish();
    });
}

const char* MarluneSchemeHandler::reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 206:
            return "Partial Content";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 416:
            return "Range Not Satisfiable";
        default:
            return "Internal Server Error";
    }
}

}  // namespace marlune
