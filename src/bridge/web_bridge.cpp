#include "bridge/web_bridge.h"

#include "core/debug_log.h"
#include "core/queue.h"

namespace marlune {

void WebBridge::registerHandler(std::string name, Handler handler) {
    MARLUNE_ASSERT_ON(Queue::main());
    handlers_[std::move(name)] = std::move(handler);
}

bool WebBridge::hasHandler(std::string_view name) const {
    return handlers_.contains(std::string(name));
}

void WebBridge::receiveText(std::string_view text) {
    auto body = parseJson(text);
    if (body) return receive(*body);
    if (auto id = salvageMessageId(text)) {
        reject(*id, "error", "The command could not be read. " + body.error().message);
    }
}

void WebBridge::receive(const Json& body) {
    MARLUNE_ASSERT_ON(Queue::main());
    if (!body.is_object()) return;
    auto id = readString(body, "id");
    auto cmd = readString(body, "cmd");
    if (!id || !cmd) return;
    const Json* given = readObject(body, "payload");
    const Json payload = given ? *given : Json::object();

    if (*cmd == "app.ready" && !pageReady_) {
        pageReady_ = true;
        if (onFirstReady_) onFirstReady_();
    }

    auto it = handlers_.find(*cmd);
    if (it == handlers_.end()) {
        reject(*id, "unknown_command", "Unknown command: " + *cmd);
        return;
    }

    ++outstanding_;
    auto answered = std::make_shared<std::atomic<bool>>(false);
    Reply reply = [weak = weak_from_this(), id = *id, answered](Result<Json> result) {
        auto self = weak.lock();
        if (!self) return;
        // Every answer is sent; only the first one settles the command.
        if (!answered->exchange(true)) --self->outstanding_;
        if (result) {
            self->resolve(id, std::move(*result));
        } else {
            self->reject(id, "error", result.error().message);
        }
    };
    it->second(payload, std::move(reply));
}

void WebBridge::resolve(const std::string& id, Json value) {
    Json message = Json::object();
    message["id"] = id;
    message["ok"] = true;
    message["result"] = std::move(value);
    deliver(std::move(message), kDeliverFunction);
}

void WebBridge::reject(const std::string& id, std::string_view code, std::string_view text) {
    Json message = Json::object();
    message["id"] = id;
    message["ok"] = false;
    message["error"] = {{"code", code}, {"message", text}};
    deliver(std::move(message), kDeliverFunction);
}

void WebBridge::emit(std::string_view name, Json data) {
    if (data.is_null()) data = Json::object();
    auto send = [name = std::string(name), data = std::move(data)](WebBridge& self) {
        if (!self.pageReady_) return;
        Json event = Json::object();
        event["name"] = name;
        event["data"] = data;
        self.deliverNow(event, kEventFunction);
    };
    if (isMainThread()) {
        send(*this);
    } else {
        postIfAlive(Queue::main(), weak_from_this(), std::move(send));
    }
}

void WebBridge::deliver(Json message, std::string_view fn) {
    if (isMainThread()) {
        deliverNow(message, fn);
        return;
    }
    postIfAlive(
        Queue::main(), weak_from_this(),
        [message = std::move(message), fn](WebBridge& self) { self.deliverNow(message, fn); });
}

void WebBridge::deliverNow(const Json& message, std::string_view fn) {
    auto view = webView_.lock();
    std::optional<std::string> text = view ? serializeStrict(message) : std::nullopt;
    if (!text) {
        systemLog("Marlune bridge: failed to serialize message for " + std::string(fn));
        return;
    }
    std::string script;
    script.reserve(fn.size() + text->size() + 2);
    script.append(fn).append("(").append(*text).append(")");
    view->evaluateScript(script);
}

}  // namespace marlune
