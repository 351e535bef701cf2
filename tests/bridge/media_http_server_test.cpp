#include "bridge/media_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "bridge/marlune_scheme_handler.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::writeFile;

std::string patterned(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 13 + i / 241) & 0xff);
    return s;
}

struct HttpReply {
    int status = 0;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;
};

// A plain blocking HTTP/1.1 client on one connection; receive() waits `replyTime` for bytes.
class Client {
  public:
    explicit Client(int port, std::chrono::seconds replyTime = std::chrono::seconds(20)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // A failed connection shows as a receive that finds nothing.
        (void)!::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        timeval tv{static_cast<time_t>(replyTime.count()), 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Client() { ::close(fd_); }

    // The server may have let the connection go already: what is sent may be lost.
    void send(const std::string& text) {
        (void)!::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
    }

    // Nothing when the server closed the connection first.
    std::optional<HttpReply> receive(bool headOnly = false) {
        std::size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill()) return std::nullopt;
        }
        const std::string head = buffer_.substr(0, end + 2);
        buffer_.erase(0, end + 4);
        if (!head.starts_with("HTTP/1.1 ")) return std::nullopt;
        HttpReply r{std::stoi(head.substr(9, 3)), {}, {}};
        for (std::size_t at = head.find("\r\n") + 2; at < head.size();) {
            const std::size_t eol = head.find("\r\n", at), colon = head.find(": ", at);
            std::string name = head.substr(at, colon - at);
            for (auto& c : name) c = static_cast<char>(std::tolower(c));
            r.headers[name] = head.substr(colon + 2, eol - colon - 2);
            at = eol + 2;
        }
        const std::size_t length = headOnly ? 0 : std::stoull(r.headers["content-length"]);
        while (buffer_.size() < length) {
            if (!fill()) return std::nullopt;
        }
        r.body = buffer_.substr(0, length);
        buffer_.erase(0, length);
        return r;
    }

    // Sends one byte, then tells whether the server has closed its side a second later.
    bool trickleUntilClosed(char c) {
        send(std::string(1, c));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        char got;
        return ::recv(fd_, &got, 1, MSG_DONTWAIT) == 0;
    }

    bool closedByServer() {
        char c;
        return ::recv(fd_, &c, 1, 0) == 0;
    }

  private:
    bool fill() {
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n > 0) buffer_.append(chunk, static_cast<std::size_t>(n));
        return n > 0;
    }

    int fd_ = -1;
    std::string buffer_;
};

class MediaHttpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(folder / "Clip one.mp4", patterned(1000));
        auto started = MediaHttpServer::start([this](std::string_view path) {
            auto file = MarluneSchemeHandler::resolveMediaPath(folder, path);
            return file ? FolderPath::inside(folder, *file) : std::nullopt;
        });
        ASSERT_TRUE(started) << started.error().message;
        server = std::move(*started);
        std::smatch m;
        const std::string& base = server->baseURL();
        ASSERT_TRUE(
            std::regex_match(base, m, std::regex(R"(http://127\.0\.0\.1:(\d+)/([0-9a-f]{32})/)")))
            << base;
        port = std::stoi(m[1]);
        token = m[2];
    }

    std::string get(const std::string& path, const std::string& extra = "",
                    const std::string& method = "GET") {
        return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
    }

    TempDir dir;
    fs::path folder = dir / "Videos/Marlune";
    std::unique_ptr<MediaHttpServer> server;
    int port = 0;
    std::string token;
};

// Guards the token, the methods and the connection (file rules: the scheme handler's tests).
TEST_F(MediaHttpServerTest, AnswersLikeTheMediaHost) {
    const std::string clip = patterned(1000);
    const std::string t = "/" + token;
    struct Case {
        std::string request;
        int status;
        std::map<std::string, std::string> headers;
        std::string body;
    };
    const Case cases[] = {
        {get(t + "/Clip%20one.mp4"),
         200,
         {{"content-type", "video/mp4"},
          {"content-length", "1000"},
          {"cache-control", "no-store"},
          {"connection", "keep-alive"}},
         clip},
        {get(t + "/any/where/Clip%20one.mp4?x=1", "Range: bytes=10-19\r\n"),
         206,
         {{"content-range", "bytes 10-19/1000"}, {"content-length", "10"}},
         clip.substr(10, 10)},
        {get(t + "/Missing.mp4"), 404, {{"content-length", "0"}, {"connection", "keep-alive"}}, ""},
        {get(t + "/..%2F..%2Fsecret.txt"), 404, {}, ""},
        {get("/Clip%20one.mp4"), 404, {}, ""},
        {get("/" + std::string(32, '0') + "/Clip%20one.mp4"), 404, {}, ""},
        {get(t + "Clip%20one.mp4"), 404, {}, ""},
        {get("http://127.0.0.1" + t + "/Clip%20one.mp4"), 200, {}, clip},
        {get(t + "/Clip%20one.mp4", "", "DELETE"), 405, {{"allow", "GET, HEAD"}}, ""},
    };
    // All on one connection: every answer keeps it open.
    Client client(port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        client.send(c.request);
        auto reply = client.receive();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status);
        for (const auto& [name, value] : c.headers) EXPECT_EQ(reply->headers[name], value) << name;
        EXPECT_EQ(reply->body, c.body);
    }
    // HEAD: the same head, no body.
    client.send(get(t + "/Clip%20one.mp4", "Range: bytes=0-99\r\n", "HEAD"));
    auto head = client.receive(true);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 206);
    EXPECT_EQ(head->headers["content-length"], "100");
    client.send(get(t + "/Clip%20one.mp4", "Connection: close\r\n"));
    auto last = client.receive();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->body, clip);
    EXPECT_TRUE(client.closedByServer());

    // A long range streams in full (the scheme handler caps it).
    const std::string movie = patterned(20'000'000);
    writeFile(folder / "Long.mp4", movie);
    Client longer(port);
    longer.send(get(t + "/Long.mp4", "Range: bytes=0-\r\n"));
    auto whole = longer.receive();
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->status, 206);
    EXPECT_EQ(whole->headers["content-range"], "bytes 0-19999999/20000000");
    EXPECT_TRUE(whole->body == movie);
}

TEST_F(MediaHttpServerTest, BrokenSlowAndIdleConnectionsAreClosed) {
    for (const char* junk : {"hello\r\n\r\n", "GET /x SPDY/3\r\n\r\n"}) {
        Client client(port);
        client.send(junk);
        auto reply = client.receive();
        ASSERT_TRUE(reply) << junk;
        EXPECT_EQ(reply->status, 400);
        EXPECT_TRUE(client.closedByServer());
    }
    // A head that never ends is cut off rather than buffered without limit.
    Client client(port);
    client.send("GET /" + token + "/Clip%20one.mp4 HTTP/1.1\r\nX: " + std::string(64 * 1024, 'a'));
    EXPECT_FALSE(client.receive());

    // One byte a second never trips the idle time-out, but a head may take only so long: a
    // client cannot hold a connection for as long as it likes.
    Client slow(port);
    const std::string head = "GET /" + token + "/Clip%20one.mp4 HTTP/1.1\r\n";
    bool closed = false;
    for (std::size_t i = 0; i < 20 && !closed; ++i) closed = slow.trickleUntilClosed(head[i]);
    EXPECT_TRUE(closed);

    // Idle connections are closed within seconds, also once a request has been answered.
    Client idle(port);
    EXPECT_TRUE(idle.closedByServer());
    Client done(port);
    done.send(get("/" + token + "/Clip%20one.mp4"));
    ASSERT_TRUE(done.receive());
    EXPECT_TRUE(done.closedByServer());
}

TEST_F(MediaHttpServerTest, NoCrowdOfConnectionsStopsARequestWithTheToken) {
    const std::string clip = patterned(1000);
    const std::string ranged = get("/" + token + "/Clip%20one.mp4", "Range: bytes=100-199\r\n");
    // Hundreds of local connections that never finish a request head, or never start one; none
    // needs the token. They come in waves, as a client that reconnects would.
    std::vector<std::unique_ptr<Client>> crowd;
    for (int wave = 0; wave < 3; ++wave) {
        SCOPED_TRACE("wave " + std::to_string(wave));
        for (int i = 0; i < 150; ++i) {
            crowd.push_back(std::make_unique<Client>(port));
            // The server may have let it go already to make room: what it sends may be lost.
            if (i % 2) crowd.back()->send("GET /" + token + "/Clip%20one.mp4 HTTP/1.1\r\nHo");
        }
        // The real request answers at once, on a new connection.
        Client real(port, std::chrono::seconds(1));
        real.send(ranged);
        auto reply = real.receive();
        ASSERT_TRUE(reply) << "no answer within a second";
        EXPECT_EQ(reply->status, 206);
        EXPECT_EQ(reply->body, clip.substr(100, 100));
        EXPECT_LE(server->connectionCount(), MediaHttpServer::kMaxConnections);
    }
    crowd.clear();
}

}  // namespace
}  // namespace marlune
