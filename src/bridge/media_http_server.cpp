#include "bridge/media_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <glib-unix.h>
#include <glib.h>

#include "bridge/marlune_scheme_handler.h"
#include "core/queue.h"
#include "core/random_hex.h"
#include "core/write_fully.h"

namespace marlune {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMaxHeadBytes = 32 * 1024;
constexpr std::chrono::milliseconds kSweepInterval{250};
// After a failed accept (out of descriptors), listening pauses this long instead of spinning.
constexpr std::chrono::milliseconds kAcceptPause{100};

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

// Constant time, so the token cannot be found one character at a time.
bool sameToken(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string headText(const SchemeResponse& response, bool keepAlive,
                     std::string_view extra = std::string_view()) {
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       MarluneSchemeHandler::reasonPhrase(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers) text += name + ": " + value + "\r\n";
    text += extra;
    text += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    return text;
}

bool setBlocking(int fd, bool blocking) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    flags = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

// One answer with a body, on a thread of its own. False when the connection cannot go on: the
// client left or stalled, or the file shrank under us so that the promised length cannot be met.
bool sendHeadAndBody(int fd, const std::string& head, const FolderFile& file, ByteRange range) {
    timeval limit{static_cast<time_t>(MediaHttpServer::kSendTime.count()), 0};
    if (!setBlocking(fd, true) ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0 ||
        !sendFully(fd, head)) {
        return false;
    }
    std::vector<char> chunk(MarluneSchemeHandler::kChunkBytes);
    std::uint64_t at = range.first;
    while (at <= range.last) {
        auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), range.last - at + 1));
        ssize_t n = ::pread(file.fd(), chunk.data(), want, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (!sendFully(fd, std::string_view(chunk.data(), static_cast<std::size_t>(n)))) {
            return false;
        }
        at += static_cast<std::uint64_t>(n);
    }
    return setBlocking(fd, false);
}

}  // namespace

std::optional<HttpRequestHead> HttpRequestHead::parse(std::string_view head) {
    HttpRequestHead r;
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

bool HttpRequestHead::keepAlive() const {
    return !hasBody && (http10 ? connection == "keep-alive" : connection != "close");
}

std::optional<std::string> HttpRequestHead::tokenPath(std::string_view target,
                                                      std::string_view token) {
    // An absolute-form target ("http://host/path") carries its path after the authority.
    if (target.starts_with("http://")) {
        auto slash = target.find('/', 7);
        target = slash == std::string_view::npos ? "/" : target.substr(slash);
    }
    target = target.substr(0, target.find_first_of("?#"));
    if (target.size() < token.size() + 2 || target[0] != '/' ||
        !sameToken(target.substr(1, token.size()), token) || target[token.size() + 1] != '/') {
        return std::nullopt;
    }
    std::string_view path = target.substr(token.size() + 1);
    char* decoded = g_uri_unescape_segment(path.data(), path.data() + path.size(), nullptr);
    if (!decoded) return std::nullopt;
    std::string text(decoded);
    g_free(decoded);
    return text;
}

// Everything the server's queue works on; sending threads hold it too. The connection table is
// touched on the queue's thread only.
struct MediaHttpServer::State : std::enable_shared_from_this<State> {
    struct Connection {
        int fd = -1;
        GSource* watch = nullptr;        // readable-bytes source; none while a body is being sent
        std::string buffer;              // bytes received and not yet taken as a head
        Clock::time_point waitingSince;  // when it began waiting for a head
        std::optional<Clock::time_point> headDeadline;  // once a head has begun to arrive
        bool sending = false;                           // a thread is sending a body on it
    };

    // What a GLib source calls back with.
    struct Watch {
        std::weak_ptr<State> state;
        std::uint64_t id = 0;  // the connection's, or 0 for the listening socket
    };

    Resolver resolve;
    std::string token;
    PictureStreamTable streams;
    std::shared_ptr<Queue> queue;
    int listenFd = -1;
    GSource* listenWatch = nullptr;
    TimerHandle sweepTimer;
    TimerHandle acceptPause;
    bool stopping = false;
    // By id: ids grow, so the first entries are the oldest connections.
    std::map<std::uint64_t, Connection> connections;
    std::uint64_t nextId = 1;

    // Open connections, for the destructor's wait and for connectionCount().
    std::mutex countLock;
    std::condition_variable countChanged;
    int open = 0;          // guarded by countLock
    bool stopped = false;  // no more connections come; guarded by countLock

    ~State() {
        if (listenFd >= 0) ::close(listenFd);
    }

    static gboolean onReady(gint, GIOCondition, gpointer data) {
        auto* watch = static_cast<Watch*>(data);
        auto self = watch->state.lock();
        if (!self) return G_SOURCE_REMOVE;
        if (watch->id == 0) {
            self->acceptAll();
        } else {
            self->readable(watch->id);
        }
        return G_SOURCE_CONTINUE;
    }

    GSource* addWatch(int fd, std::uint64_t id) {
        GSource* source = g_unix_fd_source_new(fd, G_IO_IN);
        g_source_set_callback(source, G_SOURCE_FUNC(&State::onReady),
                              new Watch{weak_from_this(), id},
                              [](gpointer p) { delete static_cast<Watch*>(p); });
        g_source_attach(source, queue->context());
        return source;
    }

    static void dropWatch(GSource*& source) {
        if (!source) return;
        g_source_destroy(source);
        g_source_unref(source);
        source = nullptr;
    }

    void changeCount(int delta) {
        std::lock_guard lock(countLock);
        open += delta;
        countChanged.notify_all();
    }

    void listen() {
        listenWatch = addWatch(listenFd, 0);
        sweepTimer = queue->every(kSweepInterval, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->sweep();
        });
    }

    void acceptAll() {
        for (;;) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) pauseAccepting();
                return;
            }
            if (static_cast<int>(connections.size()) >= kMaxConnections && !closeOldestWaiting()) {
                ::close(fd);  // every connection is busy sending: this one has to wait its turn
                continue;
            }
            const std::uint64_t id = nextId++;
            Connection& c = connections[id];
            c.fd = fd;
            c.waitingSince = Clock::now();
            c.watch = addWatch(fd, id);
            changeCount(+1);
        }
    }

    // Out of descriptors: a connection that waits is given up for the new ones, and listening
    // rests a moment rather than spinning on a socket that stays readable.
    void pauseAccepting() {
        closeOldestWaiting();
        dropWatch(listenWatch);
        acceptPause = queue->after(kAcceptPause, [weak = weak_from_this()] {
            auto self = weak.lock();
            if (self && !self->stopping) self->listenWatch = self->addWatch(self->listenFd, 0);
        });
    }

    bool closeOldestWaiting() {
        for (auto& [id, c] : connections) {
            if (!c.sending) {
                close(id);
                return true;
            }
        }
        return false;
    }

    void close(std::uint64_t id) {
        auto it = connections.find(id);
        if (it == connections.end()) return;
        dropWatch(it->second.watch);
        ::close(it->second.fd);
        connections.erase(it);
        changeCount(-1);
    }

    void sweep() {
        const auto now = Clock::now();
        std::vector<std::uint64_t> expired;
        for (const auto& [id, c] : connections) {
            if (c.sending) continue;
            if ((c.buffer.empty() && now - c.waitingSince > kIdleTime) ||
                (c.headDeadline && now > *c.headDeadline)) {
                expired.push_back(id);
            }
        }
        for (auto id : expired) close(id);
    }

    void readable(std::uint64_t id) {
        auto it = connections.find(id);
        if (it == connections.end()) return;
        Connection& c = it->second;
        char chunk[8192];
        // Never more than a head's worth: a client that sends without end is cut off below.
        while (c.buffer.size() <= kMaxHeadBytes) {
            ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
            if (n > 0) {
                c.buffer.append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            return close(id);  // the client is gone
        }
        takeHeads(id);
    }

    // Answers every whole head the connection has buffered, until it needs more bytes, closes or
    // starts sending a body.
    void takeHeads(std::uint64_t id) {
        for (;;) {
            auto it = connections.find(id);
            if (it == connections.end() || it->second.sending) return;
            Connection& c = it->second;
            auto end = c.buffer.find("\r\n\r\n");
            if (end == std::string::npos) {
                if (c.buffer.size() > kMaxHeadBytes) return close(id);
                if (!c.buffer.empty() && !c.headDeadline) c.headDeadline = Clock::now() + kHeadTime;
                return;
            }
            std::string head = c.buffer.substr(0, end);
            c.buffer.erase(0, end + 4);
            c.headDeadline.reset();
            c.waitingSince = Clock::now();
            if (!answer(id, head)) return;
        }
    }

    std::optional<FolderPath> resolveTarget(std::string_view target) const {
        auto path = HttpRequestHead::tokenPath(target, token);
        if (!path) return std::nullopt;
        return resolve(*path);
    }

    // Answers one request. True when the connection goes on waiting for the next head here;
    // false when it was closed or handed to a sending thread.
    bool answer(std::uint64_t id, std::string_view headBytes) {
        auto request = HttpRequestHead::parse(headBytes);
        if (!request) return reply(id, MarluneSchemeHandler::errorResponse(400), false);
        const bool keepAlive = request->keepAlive();
        if (request->method != "GET" && request->method != "HEAD") {
            return reply(id, MarluneSchemeHandler::errorResponse(405), keepAlive,
                         "Allow: GET, HEAD\r\n");
        }
        if (request->method == "GET") {
            auto path = HttpRequestHead::tokenPath(request->target, token);
            if (auto stream = path ? streams.take(*path) : nullptr) {
                sendStream(id, std::move(stream));
                return false;
            }
        }
        auto target = resolveTarget(request->target);
        if (!target) return reply(id, MarluneSchemeHandler::errorResponse(404), keepAlive);
        // Opened without blocking and only when it is a regular file inside the folder.
        auto file = target->open();
        if (!file) {
            const bool unreadable = file.error().kind == FolderFileError::Kind::unreadable;
            return reply(id, MarluneSchemeHandler::errorResponse(unreadable ? 500 : 404),
                         keepAlive);
        }
        const std::uint64_t size = file->size();
        const std::string_view mime = MarluneSchemeHandler::mimeType(target->relative);
        SchemeResponse head;
        ByteRange range{0, size == 0 ? 0 : size - 1};
        if (request->range) {
            auto parsed = MarluneSchemeHandler::parseRange(*request->range, size);
            if (!parsed) return reply(id, MarluneSchemeHandler::errorResponse(416), keepAlive);
            range = *parsed;
            head = MarluneSchemeHandler::rangeResponse(mime, range, size);
        } else {
            head = MarluneSchemeHandler::wholeFileResponse(mime, size);
        }
        if (request->method != "GET" || size == 0) return reply(id, head, keepAlive);
        sendBody(id, headText(head, keepAlive), std::move(*file), range, keepAlive);
        return false;
    }

    // A head with no body, written here without blocking: it is small enough for the socket's
    // buffer unless the client stopped reading, which costs it the connection.
    bool reply(std::uint64_t id, const SchemeResponse& response, bool keepAlive,
               std::string_view extra = std::string_view()) {
        auto it = connections.find(id);
        if (it == connections.end()) return false;
        const std::string text = headText(response, keepAlive, extra);
        ssize_t n;
        do {
            n = ::send(it->second.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n != static_cast<ssize_t>(text.size()) || !keepAlive) {
            close(id);
            return false;
        }
        return true;
    }

    void sendBody(std::uint64_t id, std::string head, FolderFile file, ByteRange range,
                  bool keepAlive) {
        Connection& c = connections.at(id);
        c.sending = true;
        dropWatch(c.watch);
        // A thread per body, not a queue: its writes block for up to kSendTime, and one slow
        // reader must not hold up another's answer.
        std::thread([self = shared_from_this(), id, fd = c.fd, head = std::move(head),
                     file = std::move(file), range, keepAlive] {
            const bool ok = sendHeadAndBody(fd, head, file, range);
            self->queue->post([self, id, goOn = ok && keepAlive] { self->sent(id, goOn); });
        }).detach();
    }

    // Like a body, on a thread of its own; the connection closes when the stream ends.
    void sendStream(std::uint64_t id, std::shared_ptr<PictureStream> stream) {
        Connection& c = connections.at(id);
        c.sending = true;
        dropWatch(c.watch);
        std::thread([self = shared_from_this(), id, fd = c.fd, stream = std::move(stream)] {
            timeval limit{static_cast<time_t>(kSendTime.count()), 0};
            if (setBlocking(fd, true) &&
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 &&
                sendFully(fd, pictureStreamHead() + "Connection: close\r\n\r\n")) {
                sendPictureStream(fd, *stream);
            }
            stream->cancel();
            self->queue->post([self, id] { self->sent(id, false); });
        }).detach();
    }

    void sent(std::uint64_t id, bool goOn) {
        auto it = connections.find(id);
        if (it == connections.end()) return;
        Connection& c = it->second;
        c.sending = false;
        if (!goOn || stopping) return close(id);
        c.waitingSince = Clock::now();
        c.watch = addWatch(c.fd, id);
        takeHeads(id);  // a request sent while the body was going out
    }

    void stop() {
        stopping = true;
        streams.cancelAll();
        sweepTimer.cancel();
        acceptPause.cancel();
        dropWatch(listenWatch);
        std::vector<std::uint64_t> waiting;
        for (auto& [id, c] : connections) {
            if (c.sending) {
                ::shutdown(c.fd, SHUT_RDWR);  // its thread's next write fails; sent() closes it
            } else {
                waiting.push_back(id);
            }
        }
        for (auto id : waiting) close(id);
        std::lock_guard lock(countLock);
        stopped = true;
        countChanged.notify_all();
    }
};

Result<std::unique_ptr<MediaHttpServer>> MediaHttpServer::start(Resolver resolver) {
    auto token = randomHex(16);
    if (!token) return fail("No random source for the media server token");

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(std::string("The media server could not listen: ") + strerror(errno));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::string message = std::strerror(errno);
        ::close(fd);
        return fail("The media server could not listen: " + message);
    }

    auto state = std::make_shared<State>();
    state->resolve = std::move(resolver);
    state->token = *token;
    state->listenFd = fd;
    state->queue = Queue::makeSerial(".media");
    state->queue->post([state] { state->listen(); });

    std::unique_ptr<MediaHttpServer> server(new MediaHttpServer());
    server->state_ = std::move(state);
    server->baseURL_ =
        "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/" + *token + "/";
    return server;
}

MediaHttpServer::~MediaHttpServer() {
    if (!state_) return;
    state_->queue->post([state = state_] { state->stop(); });
    std::unique_lock lock(state_->countLock);
    state_->countChanged.wait(lock, [&] { return state_->open == 0 && state_->stopped; });
}

std::optional<std::string> MediaHttpServer::publishStream(std::shared_ptr<PictureStream> stream) {
    auto path = state_->streams.publish(std::move(stream));
    if (!path) return std::nullopt;
    return baseURL_ + path->substr(1);
}

int MediaHttpServer::connectionCount() const {
    std::lock_guard lock(state_->countLock);
    return state_->open;
}

}  // namespace marlune
