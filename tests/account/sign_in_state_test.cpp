// Any local process could finish a sign-in with an account of its choosing: a callback needs the
// state the app sent out with this sign-in, only the answer of the flow in progress counts, and
// the error a callback carries is cleaned before the page shows it.

#include <atomic>
#include <regex>

#include <gtest/gtest.h>

#include "account/auth_controller.h"
#include "support/bridge_process.h"
#include "support/main_loop.h"
#include "support/raw_http.h"
#include "support/service_standin.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

using namespace std::chrono_literals;

class Page : public ScriptTarget {
  public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    std::vector<std::string> scripts;
};

TEST(SignInState, OnlyTheBrowserSentOutCanFinishTheSignIn) {
    test::ServiceStandIn standin;
    test::TempDir dir;
    auto store = std::make_shared<KeyValueStore>(dir / "defaults.json");
    const Json keys = standin.serviceKeys();
    for (auto it = keys.begin(); it != keys.end(); ++it) store->set(it.key(), *it);
    auto page = std::make_shared<Page>();
    auto bridge = std::make_shared<WebBridge>();
    bridge->setWebView(page);
    bridge->receive(Json{{"id", "ready"}, {"cmd", "app.ready"}});
    auto auth = AuthController::create(store);
    auth->setBridge(bridge);
    auto authEvents = [&] {
        std::vector<Json> out;
        for (const auto& s : page->scripts) {
            auto line = test::parseScriptLine(s);
            if (line.kind == test::ScriptLine::Kind::event && line.value["name"] == "authChanged")
                out.push_back(line.value["data"]);
        }
        return out;
    };

    // An e-mail sign-in waits for its link; the continue address says where and with what.
    auto sendLink = [&] {
        auto sent = std::make_shared<std::atomic<int>>(0);  // 1 sent, 2 failed
        auth->startMagicLink("bob@example.com", [sent](Result<Json> r) { *sent = r ? 1 : 2; });
        return test::runMainUntil([&] { return *sent != 0; }, 10s) && *sent == 1;
    };
    ASSERT_TRUE(sendLink());
    const std::string link = standin.state()["mailbox"].back()["link"];
    std::smatch m;
    ASSERT_TRUE(std::regex_search(link, m, std::regex(R"(port=(\d+).*state=(\w+))"))) << link;
    const int port = std::stoi(m[1]);
    const std::string state = m[2];

    const std::string forged[] = {
        "GET /callback?oobCode=ATTACKER&email=eve%40example.com HTTP/1.1\r\n\r\n",
        "GET /callback?oobCode=ATTACKER&email=eve%40example.com&state=0123 HTTP/1.1\r\n\r\n",
        "GET /callback?token=forged&state=" + state + " HTTP/1.1\r\n\r\n",
        "GET /callback?error=gone HTTP/1.1\r\n\r\n",
    };
    for (const auto& request : forged) {
        SCOPED_TRACE(request);
        EXPECT_FALSE(test::rawExchange(port, request).empty());
        test::runMainUntil([] { return false; }, 200ms);
        EXPECT_TRUE(auth->waitingForBrowser());
        for (const auto& e : authEvents()) EXPECT_FALSE(e.contains("error")) << e.dump();
    }
    EXPECT_TRUE(standin.requestsOf("signInWithEmailLink").empty());
    EXPECT_TRUE(standin.requestsOf("signInWithIdp").empty());

    // The page's own error, with the state, ends it; its text as shown is cleaned and capped.
    const std::size_t seen = authEvents().size();
    const std::string tail(400, 'y');
    test::rawExchange(port, "GET /callback?state=" + state +
                                "&error=%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E%0A%0Adenied" +
                                tail + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(test::runMainUntil([&] { return authEvents().size() > seen; }, 10s));
    const std::string shown = authEvents().back()["error"];
    EXPECT_EQ(shown, ("img src=x onerror=alert(1) denied" + tail).substr(0, 200));
    EXPECT_FALSE(auth->waitingForBrowser());

    // The real link, followed by a browser, carries the state back and signs in.
    ASSERT_TRUE(sendLink());
    const std::size_t before = authEvents().size();
    ASSERT_TRUE(
        test::openInFakeBrowser(standin.state()["mailbox"].back()["link"], standin.signInPage()));
    ASSERT_TRUE(test::runMainUntil(
        [&] {
            auto events = authEvents();
            return events.size() > before && events.back()["signedIn"] == true;
        },
        10s));
}

}  // namespace
}  // namespace marlune
