#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/media_stream_route.h"
#include "core/error.h"
#include "core/folder_file.h"

namespace marlune {

// The parts of an HTTP/1.x request head the media server acts on.
struct HttpRequestHead {
    std::string method;
    std::string target;
    bool http10 = false;
    std::optional<std::string> range;       // the first "Range" field
    std::optional<std::string> connection;  // the last "Connection" field, lower-cased
    bool hasBody = false;                   // a body follows (never read: the connection closes)

    // A head as it arrived, without its blank line. Nothing when the request line is not
    // "METHOD TARGET HTTP/1.x". A pure function of its input, safe on any bytes.
    static std::optional<HttpRequestHead> parse(std::string_view head);

    // Whether the connection may carry another request after this one's answer: never after a
    // body (which is not read), otherwise as the version and "Connection" field say.
    bool keepAlive() const;

    // What a request target ("/<token>/<path>", or the same in absolute form, with or without a
    // query) names: "/" + the percent-decoded path, or nothing when the first segment is not
    // exactly `token` (compared in constant time) or the path does not decode (an escaped NUL
    // byte, a broken escape). Safe on any bytes.
    static std::optional<std::string> tokenPath(std::string_view target, std::string_view token);
};

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
// Any local process can connect, so no number or behaviour of connections may stop a request that
// carries the token from being answered at once. Accepting and reading request heads happen on the
// server's own serial queue (".media") without ever blocking; answers with no body are written
// there too. Only a body (a file, for a request holding the token) is sent from a thread of its
// own, with blocking writes and a time-out. At most kMaxConnections are open: the oldest one
// waiting for a request head is closed to make room for a new one. A connection may wait
// kIdleTime for a head to begin and kHeadTime for it to end.
//
// Every member may be called from any thread.
class MediaHttpServer {
  public:
    // Maps a percent-decoded request path ("/" + whatever followed the token) to a file inside a
    // folder, or nothing. Called on the server's queue.
    using Resolver = std::function<std::optional<FolderPath>(std::string_view decodedPath)>;

    static constexpr int kMaxConnections = 64;
    static constexpr std::chrono::seconds kIdleTime{5};
    static constexpr std::chrono::seconds kHeadTime{10};
    // A client that stops reading a body for this long loses its connection.
    static constexpr std::chrono::seconds kSendTime{30};

    static Result<std::unique_ptr<MediaHttpServer>> start(Resolver resolver);
    // Stops listening, closes every connection (bodies being sent are cut off) and returns once
    // none is left.
    ~MediaHttpServer();
    MediaHttpServer(const MediaHttpServer&) = delete;
    MediaHttpServer& operator=(const MediaHttpServer&) = delete;

    // "http://127.0.0.1:<port>/<token>/"; a recording plays from this followed by its
    // percent-encoded file name.
    const std::string& baseURL() const { return baseURL_; }

    // The URL whose first GET answers with `stream`'s pictures as they are made (one use; the
    // connection closes when the stream ends). Nothing once the server is stopping.
    std::optional<std::string> publishStream(std::shared_ptr<PictureStream> stream);

    // Connections open now. Any thread.
    int connectionCount() const;

    struct State;

  private:
    MediaHttpServer() = default;

    std::shared_ptr<State> state_;
    std::string baseURL_;
};

}  // namespace marlune
