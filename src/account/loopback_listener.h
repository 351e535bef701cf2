#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/error.h"

typedef struct _GSocketListener GSocketListener;
typedef struct _GCancellable GCancellable;

namespace marlune {

// A short-lived HTTP listener on 127.0.0.1 that hands the head of each request a browser sends
// to it over, and answers every such request with the same bytes.
//
// For each accepted connection: reads until the end of the request head (an empty line), which
// must come within `readTimeout`, in as many pieces as the client sends it; the head as UTF-8
// text (bytes that are not UTF-8 give the empty text) goes to `onRequest`; then `reply` is sent
// and the connection closed. A head longer than kReadBytes is answered with "431 Request Header
// Fields Too Large" and not handed over; a client that ends (or runs out of time) before its
// head is complete is dropped without a word, and nothing is handed over. At most
// kMaxConnections are served at a time: a new connection beyond them takes the place of the
// oldest one that has sent nothing yet, or, when every one has, is closed at once.
//
// Threads: everything, `onRequest` included, runs on the thread whose thread-default main
// context was current when `start` was called (a serial queue's). Connections already accepted
// finish on their own after `stop`.
class LoopbackListener {
  public:
    using OnRequest = std::function<void(std::string text)>;

    // Listens on a port the system picks. Fails with the platform's own message.
    static Result<std::unique_ptr<LoopbackListener>> start(OnRequest onRequest,
                                                           std::string_view reply,
                                                           std::chrono::milliseconds readTimeout);
    // Stops accepting. Same thread as `start`.
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int port() const { return port_; }

    static constexpr std::size_t kReadBytes = 8192;
    static constexpr int kMaxConnections = 16;

    struct Shared;

  private:
    LoopbackListener() = default;
    void acceptNext();

    std::shared_ptr<Shared> shared_;
    GSocketListener* listener_ = nullptr;
    GCancellable* cancellable_ = nullptr;
    int port_ = 0;
};

}  // namespace marlune
