#include "platform/desktop/x11_pointer.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <array>

#include "platform/desktop/x11_raw_events.h"

namespace marlune::x11 {

struct PointerWatch::Impl {
    std::unique_ptr<RawEventConnection> connection;
    std::array<unsigned char, 256> buttonMap{};
    int buttonCount = 0;
    std::function<void()> onPress;

    void loadButtonMap() {
        buttonCount = XGetPointerMapping(connection->display(), buttonMap.data(),
                                         static_cast<int>(buttonMap.size()));
    }

    // The logical button a physical one stands for; raw events report the physical number.
    int logicalButton(int physical) const {
        if (physical >= 1 && physical <= buttonCount) return buttonMap[physical - 1];
        return physical;
    }

    void onRaw(int type, int physical) {
        if (type != XI_RawButtonPress || logicalButton(physical) != 1) return;
        // A copy: the callback may stop the watch, which lets go of `onPress`.
        if (auto call = onPress) call();
    }
};

PointerWatch::PointerWatch(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PointerWatch::~PointerWatch() = default;

Result<std::unique_ptr<PointerWatch>> PointerWatch::open() {
    auto connection = RawEventConnection::open();
    if (!connection) return std::unexpected(connection.error());
    auto impl = std::make_unique<Impl>();
    impl->connection = std::move(*connection);
    impl->loadButtonMap();
    return std::unique_ptr<PointerWatch>(new PointerWatch(std::move(impl)));
}

std::optional<RootPoint> PointerWatch::position() {
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int buttons = 0;
    if (!XQueryPointer(impl_->connection->display(), impl_->connection->root(), &root, &child,
                       &rootX, &rootY, &winX, &winY, &buttons)) {
        return std::nullopt;  // the pointer is on another screen of this display
    }
    return RootPoint{rootX, rootY};
}

void PointerWatch::watchPrimaryPresses(Queue& queue, std::function<void()> onPress) {
    impl_->connection->stop();
    impl_->onPress = std::move(onPress);
    Impl* impl = impl_.get();
    impl_->connection->watch(
        queue, {XI_RawButtonPress}, [impl](int type, int button) { impl->onRaw(type, button); },
        [impl](int request) {
            if (request == MappingPointer) impl->loadButtonMap();
        });
}

void PointerWatch::stopWatching() {
    impl_->connection->stop();
    impl_->onPress = nullptr;
}

}  // namespace marlune::x11
