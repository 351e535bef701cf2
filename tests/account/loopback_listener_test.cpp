// Guards the sign-in listener: nothing sent from this machine can hold it shut or slip past it.

#include "account/loopback_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "core/queue.h"
#include "support/raw_http.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
constexpr std::string_view kCallback = "GET /callback?token=t HTTP/1.1\r\nHost: x\r\n\r\n";

// A listener living on its own serial queue, as the account controller keeps it.
class Served {
  public:
    explicit Served(std::chrono::milliseconds readTimeout = 5s) {
        std::promise<int> port;
        queue_->post([&] {
            auto made = LoopbackListener::start(
                [this](std::string text) {
                    std::lock_guard lock(mutex_);
                    texts_.push_back(std::move(text));
                },
                kReply, readTimeout);
            ASSERT_TRUE(made);
            listener_ = std::move(*made);
            port.set_value(listener_->port());
        });
        port_ = port.get_future().get();
    }
    ~Served() {
        std::promise<void> gone;
        queue_->post([&] {
            listener_.reset();
            gone.set_value();
        });
        gone.get_future().wait();
    }

    int port() const { return port_; }
    std::vector<std::string> texts() {
        std::lock_guard lock(mutex_);
        return texts_;
    }

  private:
    std::shared_ptr<Queue> queue_ = Queue::makeSerial(".test");
    std::unique_ptr<LoopbackListener> listener_;  // on queue_
    int port_ = 0;
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

int connectTo(int port, const char* address = "127.0.0.1") {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &a.sin_addr);
    timeval limit{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads the answer to its end and closes the connection.
std::string readAll(int fd) {
    std::string out;
    char chunk[4096];
    for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) out.append(chunk, n);
    ::close(fd);
    return out;
}

TEST(LoopbackListener, ASilentClientHoldsNothing) {
    Served served(700ms);
    // Bound to 127.0.0.1 itself, not to every address: 127.0.0.2 is this machine too.
    EXPECT_EQ(connectTo(served.port(), "127.0.0.2"), -1);
    int silent = connectTo(served.port());
    ASSERT_GE(silent, 0);
    auto started = std::chrono::steady_clock::now();
    // Others are served meanwhile.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(test::rawExchange(served.port(), "GET /x HTTP/1.1\r\n\r\n"), kReply);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 700ms);
    // The silent one is let go after the time-out, without a request to hand over.
    EXPECT_EQ(readAll(silent), "");
    EXPECT_EQ(served.texts(), std::vector<std::string>(3, "GET /x HTTP/1.1\r\n\r\n"));
}

// Every request head is handed over (as "" when it is no text) with the same reply.
TEST(LoopbackListener, ACallbackGetsThroughWhateverElseIsSent) {
    const std::string callback(kCallback);
    struct Case {
        const char* what;
        std::vector<std::string> pieces;
        std::string answerStart;
        std::vector<std::string> handedOver;
    };
    const Case cases[] = {
        {"in two segments 300 ms apart",
         {callback.substr(0, 20), callback.substr(20)},
         std::string(kReply),
         {callback}},
        {"not UTF-8", {"GET /\xFF\xFE HTTP/1.1\r\n\r\n"}, std::string(kReply), {""}},
        {"a NUL byte", {std::string("GET /\0 HTTP/1.1\r\n\r\n", 19)}, std::string(kReply), {""}},
        // Refused with a 431 (which the reset of the unread rest may hide from the client).
        {"a 2 MB request line is not handed over",
         {"GET /callback?error=" + std::string(2 << 20, 'x')},
         "",
         {}},
        {"idle connections in every place", {}, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Served served;
        std::vector<int> idle;
        if (c.pieces.empty()) {
            for (int i = 0; i < LoopbackListener::kMaxConnections + 4; ++i)
                idle.push_back(connectTo(served.port()));
        } else {
            int fd = connectTo(served.port());
            for (const auto& piece : c.pieces) {
                ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
                std::this_thread::sleep_for(300ms);  // the pause between two segments is the case
            }
            EXPECT_TRUE(readAll(fd).starts_with(c.answerStart));
        }
        EXPECT_EQ(served.texts(), c.handedOver);
        // The sign-in still waits: a real callback afterwards is handed over.
        EXPECT_EQ(test::rawExchange(served.port(), callback), kReply);
        EXPECT_EQ(served.texts().back(), callback);
        for (int fd : idle) ::close(fd);
    }
}

}  // namespace
}  // namespace marlune
