#include "bridge/web_bridge.h"

#include <cmath>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/queue.h"
#include "support/main_loop.h"

namespace marlune {
namespace {

using test::runMainUntil;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class FakePage : public ScriptTarget {
  public:
    void evaluateScript(const std::string& script) override {
        EXPECT_TRUE(isMainThread()) << "scripts must be evaluated on the main thread";
        scripts.push_back(script);
    }
    std::vector<std::string> scripts;
};

class WebBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bridge->setWebView(page);
        bridge->registerHandler("echo", [](const Json& payload, WebBridge::Reply reply) {
            reply(Json{{"payload", payload}});
        });
        bridge->registerHandler(
            "fail", [](const Json&, WebBridge::Reply reply) { reply(fail("Invalid file name.")); });
        bridge->registerHandler("app.ready", [this](const Json&, WebBridge::Reply reply) {
            readyHandlerSawPageReady = bridge->pageReady();
            reply(Json{{"version", "0.1.0"}});
        });
    }

    void post(const std::string& json) { bridge->receive(Json::parse(json)); }

    std::shared_ptr<FakePage> page = std::make_shared<FakePage>();
    std::shared_ptr<WebBridge> bridge = std::make_shared<WebBridge>();
    bool readyHandlerSawPageReady = false;
};

TEST_F(WebBridgeTest, RepliesUseTheExactEnvelopes) {
    struct Case {
        const char* message;
        const char* script;
    };
    const Case cases[] = {
        {R"({"id":"1","cmd":"echo","payload":{"b":2,"a":[1,"x"]}})",
         R"(window.__marluneDeliver({"id":"1","ok":true,"result":{"payload":{"b":2,"a":[1,"x"]}}}))"},
        {R"({"id":"3","cmd":"echo"})",
         R"(window.__marluneDeliver({"id":"3","ok":true,"result":{"payload":{}}}))"},
        {R"({"id":"4","cmd":"fail"})",
         R"(window.__marluneDeliver({"id":"4","ok":false,"error":{"code":"error","message":"Invalid file name."}}))"},
        {R"({"id":"5","cmd":"sources.list"})",
         R"(window.__marluneDeliver({"id":"5","ok":false,"error":{"code":"unknown_command","message":"Unknown command: sources.list"}}))"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        page->scripts.clear();
        post(c.message);
        ASSERT_EQ(page->scripts.size(), 1u);
        EXPECT_EQ(page->scripts[0], c.script);
    }
}

TEST_F(WebBridgeTest, UnserializableMessagesAreDropped) {
    bridge->registerHandler("nan", [](const Json&, WebBridge::Reply reply) {
        reply(Json{{"value", std::nan("")}});
    });
    post(R"({"id":"r","cmd":"app.ready"})");
    page->scripts.clear();
    post(R"({"id":"1","cmd":"nan"})");
    bridge->emit("saved", Json{{"name", std::string("\xc3")}});
    EXPECT_THAT(page->scripts, IsEmpty());
    EXPECT_EQ(bridge->outstandingReplies(), 0) << "a dropped reply still settles its command";
}

TEST_F(WebBridgeTest, EventsFlowOnlyAfterTheFirstReadyAndReadyRunsOnce) {
    int firstReady = 0;
    bridge->setOnFirstReady([&] {
        ++firstReady;
        EXPECT_TRUE(bridge->pageReady());
    });
    bridge->emit("tick", Json{{"elapsedMs", 500}});
    EXPECT_THAT(page->scripts, IsEmpty());
    EXPECT_FALSE(bridge->pageReady());

    post(R"({"id":"1","cmd":"app.ready"})");
    EXPECT_TRUE(readyHandlerSawPageReady) << "the page is ready before the handler runs";
    EXPECT_EQ(firstReady, 1);
    page->scripts.clear();

    bridge->emit("tick", Json{{"elapsedMs", 500}});
    bridge->emit("hotkeyRecord");
    bridge->emit("hotkeyRecord", nullptr);
    EXPECT_THAT(
        page->scripts,
        ::testing::ElementsAre(R"(window.__marluneEvent({"name":"tick","data":{"elapsedMs":500}}))",
                               R"(window.__marluneEvent({"name":"hotkeyRecord","data":{}}))",
                               R"(window.__marluneEvent({"name":"hotkeyRecord","data":{}}))"));

    // A reload sends "app.ready" again: answered, but the first-ready work does not repeat.
    page->scripts.clear();
    post(R"({"id":"2","cmd":"app.ready"})");
    EXPECT_EQ(firstReady, 1);
    ASSERT_EQ(page->scripts.size(), 1u);
    EXPECT_THAT(page->scripts[0], HasSubstr(R"("id":"2","ok":true)"));
    EXPECT_TRUE(bridge->pageReady());
}

TEST_F(WebBridgeTest, RepliesAfterTheBridgeIsGoneAreDropped) {
    WebBridge::Reply saved;
    bridge->registerHandler("later",
                            [&](const Json&, WebBridge::Reply reply) { saved = std::move(reply); });
    post(R"({"id":"L","cmd":"later"})");
    std::weak_ptr<WebBridge> weak = bridge;
    bridge.reset();
    ASSERT_TRUE(weak.expired()) << "a pending reply must not keep the bridge alive";
    saved(Json::object());
    std::thread([&] { saved(Json::object()); }).join();
    test::runMainFor(std::chrono::milliseconds(20));
    EXPECT_THAT(page->scripts, IsEmpty());
}

}  // namespace
}  // namespace marlune
