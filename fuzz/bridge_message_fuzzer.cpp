// One line from the page, as the headless host and the web view's message handler pass it to the
// bridge. A command with an id is answered exactly once, and every script the bridge evaluates
// carries JSON that reads back.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/web_bridge.h"
#include "fuzz_support.h"

namespace {

using namespace marlune;

class RecordingPage : public ScriptTarget {
  public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    std::vector<std::string> scripts;
};

void check(bool ok, const char* what) {
    if (!ok) fuzz::fail(what);
}

// The JSON inside "window.__marluneDeliver(...)".
Json deliveredValue(const std::string& script) {
    const std::string prefix = std::string(WebBridge::kDeliverFunction) + "(";
    check(script.starts_with(prefix) && script.ends_with(")"), "a script that is not a reply");
    Json value = Json::parse(script.substr(prefix.size(), script.size() - prefix.size() - 1),
                             nullptr, false);
    check(!value.is_discarded(), "a reply that does not read back");
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto page = std::make_shared<RecordingPage>();
    auto bridge = std::make_shared<WebBridge>();
    bridge->setWebView(page);
    // Stand-ins for the command table: one answers with its payload (so every payload must come
    // back out as JSON), one fails, one answers twice (only the first settles the command).
    bridge->registerHandler(
        "echo", [](const Json& payload, WebBridge::Reply reply) { reply(Json(payload)); });
    bridge->registerHandler("app.ready",
                            [](const Json&, WebBridge::Reply reply) { reply(fail("not now")); });
    bridge->registerHandler("twice", [](const Json& payload, WebBridge::Reply reply) {
        reply(Json::object());
        reply(Json(payload));
    });

    auto body = fuzz::outsideJson(data, size);
    if (body) bridge->receive(*body);
    check(bridge->outstandingReplies() == 0, "a command left unanswered");

    std::optional<std::string> id;
    std::optional<std::string> cmd;
    if (body && body->is_object()) {
        id = readString(*body, "id");
        cmd = readString(*body, "cmd");
    }
    const std::size_t expected = id && cmd ? (*cmd == "twice" ? 2 : 1) : 0;
    check(page->scripts.size() == expected, "not one reply per command");
    for (const auto& script : page->scripts) {
        Json reply = deliveredValue(script);
        check(reply.is_object() && reply.value("id", Json()) == Json(*id), "reply for another id");
        check(reply["ok"].is_boolean(), "reply without ok");
    }
    return 0;
}
