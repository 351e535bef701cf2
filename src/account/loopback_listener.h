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

// A short-lived HTTP listener on 127.0.0.1 that hands what a browser sends to it over, one read
// per connection, and answers every connection with the same bytes.
//
// For each accepted connection: one read of 1 to 8192 bytes, which must come within
// `readTimeout` (a silent client is dropped then, and holds nothing meanwhile); the bytes as
// UTF-8 text (none, or bytes that are not UTF-8, give the empty text) go to `onRequest`; then
// `reply` is sent and the connection closed. At most kMaxConnections are served at a time; more
// are closed at once.
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
