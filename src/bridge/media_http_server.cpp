#include "bridge/media_http_server.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <future>
#include <vector>

#include <gio/gio.h>

#include "bridge/marlune_scheme_handler.h"
#include "core/queue.h"

namespace marlune {

namespace fs = std::filesystem;

struct MediaHttpServer::State {
    Resolver resolve;
    std::string token;
};

namespace {

constexpr std::size_t kMaxHeadBytes = 32 * 1024;
constexpr guint kIdleSeconds = 30;
// A request head, once begun, must be whole within this time, however steadily its bytes come.
constexpr std::chrono::seconds kHeadTime{10};

std::string lowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

Result<std::string> randomToken() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail("No random source for the media server token");
        got += static_cast<std::size_t>(n);
    }
    std::string hex;
    char two[3];
    for (unsigned char b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

// Constant time, so the token cannot be found one character at a time.
bool sameToken(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

struct Request {
    std::string method;
    std::string target;
    bool http10 = false;
    std::optional<std::string> range;
    std::optional<std::string> connection;
    bool hasBody = false;
};

std::optional<Request> parseHead(std::string_view head) {
    Request r;
    auto lineEnd = head.find("\r\n");
    std::string_view line = head.substr(0, lineEnd);
    auto sp1 = line.find(' ');
    auto sp2 = line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) return std::nullopt;
    r.method = line.substr(0, sp1);
    r.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view version = line.substr(sp2 + 1);
    if (!version.starts_with("HTTP/1.")) return std::nullopt;
    r.http10 = version == "HTTP/1.0";

    std::string_view rest = lineEnd == std::string_view::npos ? "" : head.substr(lineEnd + 2);
    while (!rest.empty()) {
        auto end = rest.find("\r\n");
        std::string_view field = rest.substr(0, end);
        rest = end == std::string_view::npos ? "" : rest.substr(end + 2);
        auto colon = field.find(':');
        if (colon == std::string_view::npos) continue;
        std::string name = lowercase(trimmed(field.substr(0, colon)));
        std::string value(trimmed(field.substr(colon + 1)));
        if (name == "range" && !r.range) r.range = value;
        if (name == "connection") r.connection = lowercase(value);
        if ((name == "content-length" && value != "0") || name == "transfer-encoding") {
            r.hasBody = true;
        }
    }
    return r;
}

class Connection {
  public:
    Connection(const MediaHttpServer::State& state, GSocketConnection* connection)
        : state_(state),
          socket_(g_socket_connection_get_socket(connection)),
          in_(g_io_stream_get_input_stream(G_IO_STREAM(connection))),
          out_(g_io_stream_get_output_stream(G_IO_STREAM(connection))) {}

    void run() {
        while (auto head = readHead()) {
            auto request = parseHead(*head);
            if (!request) {
                sendHead(MarluneSchemeHandler::errorResponse(400), false);
                return;
            }
            if (!respond(*request)) return;
        }
    }

  private:
    // The next request head, without its blank line; nothing at the end of the connection, on
    // the idle time-out, when the head is too large or when it takes too long to arrive.
    std::optional<std::string> readHead() {
        std::optional<std::chrono::steady_clock::time_point> deadline;
        for (;;) {
            auto end = buffer_.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::string head = buffer_.substr(0, end);
                buffer_.erase(0, end + 4);
                g_socket_set_timeout(socket_, kIdleSeconds);
                return head;
            }
            if (buffer_.size() > kMaxHeadBytes) return std::nullopt;
            if (!buffer_.empty()) {
                auto now = std::chrono::steady_clock::now();
                if (!deadline) deadline = now + kHeadTime;
                auto left = std::chrono::ceil<std::chrono::seconds>(*deadline - now).count();
                if (left <= 0) return std::nullopt;
                g_socket_set_timeout(socket_, static_cast<guint>(left));
            }
            char chunk[8192];
            gssize n = g_input_stream_read(in_, chunk, sizeof chunk, nullptr, nullptr);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    bool write(std::string_view bytes) {
        return g_output_stream_write_all(out_, bytes.data(), bytes.size(), nullptr, nullptr,
                                         nullptr);
    }

    bool sendHead(const SchemeResponse& response, bool keepAlive,
                  std::string_view extra = std::string_view()) {
        std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " +
                           MarluneSchemeHandler::reasonPhrase(response.status) + "\r\n";
        for (const auto& [name, value] : response.headers) text += name + ": " + value + "\r\n";
        text += extra;
        text += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
        return write(text);
    }

    std::optional<fs::path> resolve(std::string_view target) {
        // An absolute-form target ("http://host/path") carries its path after the authority.
        if (target.starts_with("http://")) {
            auto slash = target.find('/', 7);
            target = slash == std::string_view::npos ? "/" : target.substr(slash);
        }
        target = target.substr(0, target.find_first_of("?#"));
        if (target.size() < state_.token.size() + 2 || target[0] != '/' ||
            !sameToken(target.substr(1, state_.token.size()), state_.token) ||
            target[state_.token.size() + 1] != '/') {
            return std::nullopt;
        }
        std::string_view path = target.substr(state_.token.size() + 1);
        char* decoded = g_uri_unescape_segment(path.data(), path.data() + path.size(), nullptr);
        if (!decoded) return std::nullopt;
        std::string text(decoded);
        g_free(decoded);
        return state_.resolve(text);
    }

    // Answers one request; false when the connection must close afterwards.
    bool respond(const Request& request) {
        bool keepAlive = !request.hasBody && (request.http10 ? request.connection == "keep-alive"
                                                             : request.connection != "close");
        if (request.method != "GET" && request.method != "HEAD") {
            return sendHead(MarluneSchemeHandler::errorResponse(405), keepAlive,
                            "Allow: GET, HEAD\r\n") &&
                   keepAlive;
        }
        auto file = resolve(request.target);
        struct stat info {};
        if (!file || ::stat(file->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            return sendHead(MarluneSchemeHandler::errorResponse(404), keepAlive) && keepAlive;
        }
        auto size = static_cast<std::uint64_t>(info.st_size);
        std::string_view mime = MarluneSchemeHandler::mimeType(*file);

        SchemeResponse head;
        ByteRange range{0, size == 0 ? 0 : size - 1};
        if (request.range) {
            auto parsed = MarluneSchemeHandler::parseRange(*request.range, size);
            if (!parsed) {
                return sendHead(MarluneSchemeHandler::errorResponse(416), keepAlive) && keepAlive;
            }
            range = *parsed;
            head = MarluneSchemeHandler::rangeResponse(mime, range, size);
        } else {
            head = MarluneSchemeHandler::wholeFileResponse(mime, size);
        }

        int fd = ::open(file->c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return sendHead(MarluneSchemeHandler::errorResponse(500), keepAlive) && keepAlive;
        }
        bool ok = sendHead(head, keepAlive);
        if (ok && request.method == "GET" && size > 0) ok = sendBody(fd, range);
        ::close(fd);
        return ok && keepAlive;
    }

    // False when the connection cannot go on: the client left, or the file shrank under us so
    // that the promised length cannot be met.
    bool sendBody(int fd, ByteRange range) {
        std::vector<char> chunk(MarluneSchemeHandler::kChunkBytes);
        std::uint64_t at = range.first;
        while (at <= range.last) {
            std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>(chunk.size(), range.last - at + 1));
            ssize_t n = ::pread(fd, chunk.data(), want, static_cast<off_t>(at));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            if (!write(std::string_view(chunk.data(), static_cast<std::size_t>(n)))) return false;
            at += static_cast<std::uint64_t>(n);
        }
        return true;
    }

    const MediaHttpServer::State& state_;
    GSocket* socket_;
    GInputStream* in_;
    GOutputStream* out_;
    std::string buffer_;
};

gboolean onRun(GThreadedSocketService*, GSocketConnection* connection, GObject*, gpointer data) {
    g_socket_set_timeout(g_socket_connection_get_socket(connection), kIdleSeconds);
    Connection(*static_cast<MediaHttpServer::State*>(data), connection).run();
    g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
    return TRUE;
}

}  // namespace

Result<std::unique_ptr<MediaHttpServer>> MediaHttpServer::start(Resolver resolver) {
    auto token = randomToken();
    if (!token) return std::unexpected(token.error());
    auto* state = new State{std::move(resolver), *token};

    std::unique_ptr<MediaHttpServer> server(new MediaHttpServer());
    server->queue_ = Queue::makeSerial(".media");
    // Created and started on the queue's thread, so accepting never waits for the main loop.
    std::promise<Result<std::pair<GSocketService*, int>>> started;
    server->queue_->post([state, &started] {
        GSocketService* service = g_threaded_socket_service_new(kMaxConnections);
        // The state lives as long as the service, which every connection thread holds.
        g_object_set_data_full(G_OBJECT(service), "marlune-state", state,
                               [](gpointer p) { delete static_cast<State*>(p); });
        g_signal_connect(service, "run", G_CALLBACK(onRun), state);

        GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
        GSocketAddress* address = g_inet_socket_address_new(loopback, 0);
        GSocketAddress* bound = nullptr;
        GError* error = nullptr;
        gboolean ok =
            g_socket_listener_add_address(G_SOCKET_LISTENER(service), address, G_SOCKET_TYPE_STREAM,
                                          G_SOCKET_PROTOCOL_TCP, nullptr, &bound, &error);
        g_object_unref(address);
        g_object_unref(loopback);
        if (!ok) {
            std::string message = error ? error->message : "unknown error";
            g_clear_error(&error);
            g_object_unref(service);
            started.set_value(fail("The media server could not listen: " + message));
            return;
        }
        int port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound));
        g_object_unref(bound);
        g_socket_service_start(service);
        started.set_value(std::pair{service, port});
    });
    auto result = started.get_future().get();
    if (!result) return std::unexpected(result.error());
    server->service_ = result->first;
    server->baseURL_ = "http://127.0.0.1:" + std::to_string(result->second) + "/" + *token + "/";
    return server;
}

MediaHttpServer::~MediaHttpServer() {
    if (!service_) return;
    std::promise<void> stopped;
    queue_->post([service = service_, &stopped] {
        g_socket_service_stop(service);
        g_socket_listener_close(G_SOCKET_LISTENER(service));
        g_object_unref(service);
        stopped.set_value();
    });
    stopped.get_future().wait();
}

}  // namespace marlune
