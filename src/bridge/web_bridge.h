#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "bridge/script_target.h"
#include "core/error.h"
#include "core/json.h"

namespace marlune {

// The message bridge between the page and the native side. The page posts command messages
// ({"id", "cmd", "payload"}); each is dispatched to the handler registered under its name, whose
// single answer goes back as `window.__marluneDeliver(<reply>)`. Native code pushes events with
// `window.__marluneEvent({"name", "data"})` once the page has said "app.ready".
//
// Threads: registration, `receive` and handlers run on the main thread. Reply callbacks and `emit`
// may be called from any thread; scripts are always evaluated on the main thread. Owned by the
// application object through a shared_ptr (reply callbacks hold it weakly).
class WebBridge : public std::enable_shared_from_this<WebBridge> {
  public:
    // Called exactly once per delivered reply; may be called from any thread.
    using Reply = std::function<void(Result<Json>)>;
    // `payload` is always an object.
    using Handler = std::function<void(const Json& payload, Reply reply)>;

    static constexpr std::string_view kDeliverFunction = "window.__marluneDeliver";
    static constexpr std::string_view kEventFunction = "window.__marluneEvent";

    // The page's script target; replies and events are dropped (and logged) while it is absent.
    // Main thread.
    void setWebView(std::weak_ptr<ScriptTarget> webView) { webView_ = std::move(webView); }
    // Runs once, when the page first sends "app.ready". Main thread, before any message.
    void setOnFirstReady(std::function<void()> fn) { onFirstReady_ = std::move(fn); }
    // True from the page's first "app.ready" on, for the life of the process. Main thread.
    bool pageReady() const { return pageReady_; }

    // Stores the handler under `name`, replacing an earlier one. Main thread, at start-up.
    void registerHandler(std::string name, Handler handler);
    bool hasHandler(std::string_view name) const;

    // One message as JSON text, as the page's message handler and the headless host receive it.
    // Text that parseJson refuses gets an error reply when its "id" can still be read (the page
    // would otherwise wait for ever), and is otherwise ignored like any malformed message. Main
    // thread.
    void receiveText(std::string_view text);

    // One message posted by the page. Malformed messages (not an object, "id" or "cmd" missing
    // or not a string) are ignored without trace. Main thread.
    void receive(const Json& body);

    // Pushes an event; dropped silently before the page is ready. Any thread: on the main thread
    // the script is evaluated before this returns, otherwise it is queued to the main thread.
    void emit(std::string_view name, Json data = Json::object());

    // The two reply envelopes. Any thread.
    void resolve(const std::string& id, Json value);
    void reject(const std::string& id, std::string_view code, std::string_view message);

    // Commands whose handler has been called but that have not been answered yet. Any thread.
    int outstandingReplies() const { return outstanding_.load(); }

  private:
    void deliver(Json message, std::string_view fn);
    void deliverNow(const Json& message, std::string_view fn);

    std::weak_ptr<ScriptTarget> webView_;
    std::function<void()> onFirstReady_;
    bool pageReady_ = false;
    std::unordered_map<std::string, Handler> handlers_;
    std::atomic<int> outstanding_{0};
};

}  // namespace marlune
