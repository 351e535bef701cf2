#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"

namespace marlune {

struct HttpRequest {
    std::string method;  // "GET", "POST", "PATCH"
    std::string url;     // absolute http or https URL
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;
};

struct HttpResponse {
    long status = 0;
    std::string body;
};

// A small HTTP client over libcurl for the account services: one worker thread runs every
// transfer; nothing is kept between requests (no cookies, no cache, no stored credentials; only
// connections are reused). Redirects are not followed, and only http and https are spoken.
//
// A request fails at once with "bad url" when its address does not parse. A transport failure
// (no connection, time-out, dropped connection) is a failure carrying libcurl's description; any
// HTTP answer, whatever its status, is a response.
//
// Threads: `send` may be called from any thread, completions included. Completions run on the
// client's worker thread, one at a time. Destroying the client aborts the transfers in flight
// without calling their completions; it may happen on any thread, the worker's included.
class HttpClient {
  public:
    using Completion = std::function<void(Result<HttpResponse>)>;

    explicit HttpClient(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    void send(HttpRequest request, Completion completion);

    // Answers larger than this fail instead of growing without bound.
    static constexpr std::size_t kMaxResponseBytes = 4 * 1024 * 1024;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace marlune
