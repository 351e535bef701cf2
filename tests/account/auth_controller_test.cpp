// Guards the account controller's browser wait: it times out, and forged callbacks cannot end it.

#include "account/auth_controller.h"

#include <regex>

#include <gtest/gtest.h>

#include "support/bridge_process.h"
#include "support/main_loop.h"
#include "support/raw_http.h"
#include "support/service_standin.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;
using test::runMainUntil;

class Page : public ScriptTarget {
  public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    std::vector<std::string> scripts;  // main thread only
};

// What a command's reply callback received, from whichever thread.
struct Answer {
    std::mutex mutex;
    std::optional<Result<Json>> value;
    WebBridge::Reply callback() {
        return [this](Result<Json> r) {
            std::lock_guard lock(mutex);
            value = std::move(r);
        };
    }
    bool arrived() {
        std::lock_guard lock(mutex);
        return value.has_value();
    }
};

// The value of a parameter of a sign-in address ("port", "state").
std::string param(const std::string& url, const std::string& name) {
    std::smatch m;
    return std::regex_search(url, m, std::regex(name + R"(=(\w+))")) ? std::string(m[1]) : "0";
}

bool accepts(int port) {
    return !test::rawExchange(port, "GET /favicon.ico HTTP/1.1\r\n\r\n").empty();
}

class AuthControllerTest : public ::testing::Test {
  protected:
    void SetUp() override { start(AuthController::builtInConfig()); }

    void start(AuthController::Config config) {
        const Json keys = standin.serviceKeys();
        for (auto it = keys.begin(); it != keys.end(); ++it) store->set(it.key(), *it);
        bridge->setWebView(page);
        bridge->receive(Json{{"id", "ready"}, {"cmd", "app.ready"}});
        auth = AuthController::create(store, config);
        auth->setBridge(bridge);
    }

    std::vector<Json> authEvents() const {
        std::vector<Json> out;
        for (const auto& s : page->scripts) {
            auto line = test::parseScriptLine(s);
            if (line.kind == test::ScriptLine::Kind::event && line.value["name"] == "authChanged") {
                out.push_back(line.value["data"]);
            }
        }
        return out;
    }

    // Runs the main loop until an "authChanged" after the first `seen` ones matches.
    std::optional<Json> waitForEvent(std::size_t seen,
                                     const std::function<bool(const Json&)>& match,
                                     std::chrono::milliseconds timeout = 10s) {
        std::optional<Json> found;
        runMainUntil(
            [&] {
                auto events = authEvents();
                for (std::size_t i = seen; i < events.size(); ++i) {
                    if (match(events[i])) {
                        found = events[i];
                        return true;
                    }
                }
                return false;
            },
            timeout);
        return found;
    }

    Result<Json> magicLink(const std::string& email) {
        Answer answer;
        auth->startMagicLink(email, answer.callback());
        EXPECT_TRUE(runMainUntil([&] { return answer.arrived(); }, 10s));
        return answer.value.value_or(fail("no answer"));
    }

    // Follows the link mailed last, as the user would; the signed-in "authChanged".
    std::optional<Json> followLastLink() {
        std::size_t seen = authEvents().size();
        auto mailbox = standin.state()["mailbox"];
        if (mailbox.empty() ||
            !test::openInFakeBrowser(mailbox.back()["link"], standin.signInPage()))
            return std::nullopt;
        return waitForEvent(seen, [](const Json& e) { return e["signedIn"] == true; });
    }
    void signIn(const std::string& email) {
        ASSERT_TRUE(magicLink(email));
        ASSERT_TRUE(followLastLink());
    }

    test::ServiceStandIn standin;
    test::TempDir dir;
    std::shared_ptr<KeyValueStore> store = std::make_shared<KeyValueStore>(dir / "defaults.json");
    std::shared_ptr<Page> page = std::make_shared<Page>();
    std::shared_ptr<WebBridge> bridge = std::make_shared<WebBridge>();
    std::shared_ptr<AuthController> auth;
};

TEST_F(AuthControllerTest, ABrowserThatNeverComesBackStopsTheWait) {
    auth.reset();
    auto config = AuthController::builtInConfig();
    config.listenerTimeout = 300ms;
    start(config);
    ASSERT_EQ(magicLink("ann@example.com"), Json({{"sent", true}}));
    const int port = std::stoi(param(standin.state()["mailbox"].back()["link"], "port"));
    ASSERT_GT(port, 0);
    ASSERT_TRUE(waitForEvent(0, [](const Json& e) { return e["waitingForBrowser"] == true; }));
    auto timedOut = waitForEvent(
        0, [](const Json& e) { return e["waitingForBrowser"] == false; }, 5s);
    ASSERT_TRUE(timedOut);
    EXPECT_FALSE(timedOut->contains("error"));
    // The listener is gone: a late browser cannot sign anyone in.
    EXPECT_TRUE(runMainUntil([&] { return !accepts(port); }, 5s));
    EXPECT_FALSE(auth->stateDict()["signedIn"]);
}

// A callback without this sign-in's state is ignored; a callback's error is cleaned for the page.
TEST_F(AuthControllerTest, OnlyTheBrowserSentOutCanFinishTheSignIn) {
    ASSERT_EQ(magicLink("bob@example.com"), Json({{"sent", true}}));
    const std::string link = standin.state()["mailbox"].back()["link"];
    const int port = std::stoi(param(link, "port"));
    const std::string state = param(link, "state");
    ASSERT_TRUE(port > 0 && state != "0") << link;

    const std::string forged[] = {
        "GET /callback?oobCode=ATTACKER&email=eve%40example.com HTTP/1.1\r\n\r\n",
        "GET /callback?oobCode=ATTACKER&email=eve%40example.com&state=0123 HTTP/1.1\r\n\r\n",
        "GET /callback?token=forged&state=" + state + " HTTP/1.1\r\n\r\n",
        "GET /callback?error=gone HTTP/1.1\r\n\r\n",
    };
    for (const auto& request : forged) {
        SCOPED_TRACE(request);
        EXPECT_FALSE(test::rawExchange(port, request).empty());
        test::runMainFor(200ms);
        EXPECT_TRUE(auth->waitingForBrowser());
        for (const auto& e : authEvents()) EXPECT_FALSE(e.contains("error")) << e.dump();
    }
    EXPECT_TRUE(standin.requestsOf("signInWithEmailLink").empty());
    EXPECT_TRUE(standin.requestsOf("signInWithIdp").empty());

    // The page's own error, with the state, ends it; its text as shown is cleaned and capped.
    const std::string tail(400, 'y');
    test::rawExchange(port, "GET /callback?state=" + state +
                                "&error=%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E%0A%0Adenied" +
                                tail + " HTTP/1.1\r\n\r\n");
    auto failed = waitForEvent(0, [](const Json& e) { return e.contains("error"); });
    ASSERT_TRUE(failed);
    EXPECT_EQ((*failed)["error"], ("img src=x onerror=alert(1) denied" + tail).substr(0, 200));
    EXPECT_FALSE(auth->waitingForBrowser());

    // The real link, followed by a browser, carries the state back and signs in.
    ASSERT_NO_FATAL_FAILURE(signIn("bob@example.com"));
}

}  // namespace
}  // namespace marlune
