// The sign-in listener could be held shut from this machine: idle connections taking every place,
// a callback sent in two pieces read as a cancel, an endless request line ending the sign-in.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "account/loopback_listener.h"
#include "core/queue.h"
#include "support/raw_http.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
constexpr std::string_view kCallback = "GET /callback?token=t HTTP/1.1\r\nHost: x\r\n\r\n";

class Listening {
  public:
    Listening() {
        std::promise<int> port;
        queue_->post([&] {
            auto made = LoopbackListener::start(
                [this](std::string text) {
                    std::lock_guard lock(mutex_);
                    texts_.push_back(std::move(text));
                },
                kReply, 5s);
            ASSERT_TRUE(made);
            listener_ = std::move(*made);
            port.set_value(listener_->port());
        });
        port_ = port.get_future().get();
    }
    ~Listening() {
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
    std::unique_ptr<LoopbackListener> listener_;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

int connectTo(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends `pieces` with `gap` between them, then reads the answer to its end.
std::string sendInPieces(int port, const std::vector<std::string>& pieces,
                         std::chrono::milliseconds gap) {
    int fd = connectTo(port);
    if (fd < 0) return "(no connection)";
    for (const auto& piece : pieces) {
        ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(gap);  // the pause between two segments is the case itself
    }
    std::string out;
    char chunk[4096];
    for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) out.append(chunk, n);
    ::close(fd);
    return out;
}

TEST(ListenerHold, ACallbackGetsThroughWhateverElseIsSent) {
    const std::string callback(kCallback);
    const std::string endless = "GET /callback?error=" + std::string(2 << 20, 'x');
    struct Case {
        const char* what;
        std::vector<std::string> pieces;
        std::chrono::milliseconds gap;
        std::string answerStart;
        std::vector<std::string> handedOver;
    };
    const Case cases[] = {
        {"in two segments 300 ms apart",
         {callback.substr(0, 20), callback.substr(20)},
         300ms,
         std::string(kReply),
         {callback}},
        // Refused with a 431 (which the reset of the unread rest may hide from the client).
        {"a 2 MB request line is not handed over", {endless}, 0ms, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Listening listening;
        EXPECT_TRUE(sendInPieces(listening.port(), c.pieces, c.gap).starts_with(c.answerStart));
        EXPECT_EQ(listening.texts(), c.handedOver);
        // The sign-in still waits: a real callback afterwards is handed over.
        EXPECT_EQ(test::rawExchange(listening.port(), callback), kReply);
        EXPECT_EQ(listening.texts().back(), callback);
    }
}

TEST(ListenerHold, IdleConnectionsMakeRoomForACallback) {
    Listening listening;
    std::vector<int> idle;
    for (int i = 0; i < LoopbackListener::kMaxConnections + 4; ++i) {
        idle.push_back(connectTo(listening.port()));
    }
    EXPECT_EQ(test::rawExchange(listening.port(), std::string(kCallback)), kReply);
    EXPECT_EQ(listening.texts(), std::vector<std::string>{std::string(kCallback)});
    for (int fd : idle) ::close(fd);
}

}  // namespace
}  // namespace marlune
