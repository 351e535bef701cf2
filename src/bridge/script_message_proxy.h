#pragma once

#include <memory>

#include "bridge/web_bridge.h"

namespace marlune {

// What the web view keeps as its "marlune" message handler instead of the bridge itself: a
// forwarder holding the bridge weakly, so the view never keeps the bridge alive. Messages that
// arrive after the bridge is gone are dropped. Main thread.
class ScriptMessageProxy {
  public:
    explicit ScriptMessageProxy(std::weak_ptr<WebBridge> target) : target_(std::move(target)) {}

    void didReceive(const Json& body) const {
        if (auto bridge = target_.lock()) bridge->receive(body);
    }
    void didReceiveText(std::string_view text) const {
        if (auto bridge = target_.lock()) bridge->receiveText(text);
    }

  private:
    std::weak_ptr<WebBridge> target_;
};

}  // namespace marlune
