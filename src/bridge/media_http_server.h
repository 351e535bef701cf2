#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"

typedef struct _GSocketService GSocketService;

namespace marlune {

class Queue;

// Serves the recordings to the page's media elements over loopback HTTP, because the web view's
// media player can only open http(s) and blob URLs, not the "marlune" scheme. It listens on
// 127.0.0.1 only, on a port the system picks, and every URL carries a random 128-bit token: a
// request without it gets 404, so other local users and web pages cannot list or guess files.
//
// A request path is the token followed by what the "media" host of the scheme takes: its last
// component, percent-decoded, names a file in the recordings folder (same resolution, same
// answer heads, same MIME table, same range parser). Unlike the scheme, which holds a range in
// memory and so caps it at 8 MiB, a range here is sent in full, streamed in 1 MiB reads: memory
// stays bounded whatever the size, and the media player gets the bytes it asked for. GET and
// HEAD, HTTP/1.1 keep-alive.
//
// Threads: accepting runs on its own serial queue (".media"); each connection is served on a
// worker thread, with blocking I/O, a 30-second idle time-out and 10 seconds for a request head
// to arrive whole. Every member may be called from any thread.
class MediaHttpServer {
  public:
    // Maps a percent-decoded request path ("/" + whatever followed the token) to a file, or
    // nothing. Called on the connection threads.
    using Resolver =
        std::function<std::optional<std::filesystem::path>(std::string_view decodedPath)>;

    static Result<std::unique_ptr<MediaHttpServer>> start(Resolver resolver);
    // Stops listening. Connections under way finish on their own threads.
    ~MediaHttpServer();
    MediaHttpServer(const MediaHttpServer&) = delete;
    MediaHttpServer& operator=(const MediaHttpServer&) = delete;

    // "http://127.0.0.1:<port>/<token>/"; a recording plays from this followed by its
    // percent-encoded file name.
    const std::string& baseURL() const { return baseURL_; }

    static constexpr int kMaxConnections = 32;

    struct State;

  private:
    MediaHttpServer() = default;

    std::shared_ptr<Queue> queue_;
    GSocketService* service_ = nullptr;
    std::string baseURL_;
};

}  // namespace marlune
