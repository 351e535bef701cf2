// The HTTP client's failures; what it sends is checked end to end by the account commands.

#include "account/http_client.h"

#include <future>

#include <gtest/gtest.h>

#include "support/service_standin.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

Result<HttpResponse> exchange(HttpClient& client, HttpRequest request) {
    std::promise<Result<HttpResponse>> done;
    client.send(std::move(request), [&](Result<HttpResponse> r) { done.set_value(std::move(r)); });
    auto answer = done.get_future();
    if (answer.wait_for(30s) != std::future_status::ready) return fail("no answer");
    return answer.get();
}

TEST(HttpClient, Failures) {
    test::ServiceStandIn standin;
    standin.configure({{"failures",
                        {{{"call", "get"}, {"mode", "drop"}, {"times", -1}},
                         {{"call", "patch"}, {"mode", "slow"}, {"delay", 5}}}}});
    HttpClient client(2s);
    // A port nobody listens on: the stand-in's own, once it is gone.
    int closedPort;
    {
        test::ServiceStandIn gone;
        closedPort = gone.port();
    }
    const std::string user = standin.base() + "/database/v1/projects/" + test::builtProjectId() +
                             "/databases/(default)/documents/users/u";
    struct Case {
        const char* what;
        const char* method;
        std::string url;
        std::string message;  // a part of it; "" for any transport failure
    };
    const Case cases[] = {
        {"empty", "GET", "", "bad url"},
        {"nobody listening", "GET", "http://127.0.0.1:" + std::to_string(closedPort) + "/", ""},
        {"connection dropped", "GET", user, ""},
        {"other scheme", "GET", "ftp://127.0.0.1/", ""},
        {"a slow service", "PATCH", user, "imed out"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto started = std::chrono::steady_clock::now();
        auto r = exchange(client, {c.method, c.url, {}, std::nullopt});
        ASSERT_FALSE(r);
        EXPECT_FALSE(r.error().message.empty());
        EXPECT_NE(r.error().message.find(c.message), std::string::npos) << r.error().message;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    }
}

}  // namespace
}  // namespace marlune
