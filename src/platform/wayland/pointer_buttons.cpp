#include "platform/wayland/pointer_buttons.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace marlune::wayland {
namespace {

namespace fs = std::filesystem;

constexpr unsigned kLongBits = sizeof(unsigned long) * CHAR_BIT;

// A sysfs capability file: hexadecimal longs separated by spaces, the most significant first.
std::set<unsigned> parseSysfsBits(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    std::set<unsigned> bits;
    for (std::size_t i = 0; i < words.size(); ++i) {
        unsigned long value = std::strtoul(words[words.size() - 1 - i].c_str(), nullptr, 16);
        for (unsigned b = 0; b < kLongBits; ++b) {
            if (value & (1UL << b)) bits.insert(static_cast<unsigned>(i * kLongBits + b));
        }
    }
    return bits;
}

std::optional<InputCapabilities> sysfsCapabilities(const fs::path& sysDir,
                                                   const std::string& node) {
    fs::path dir = sysDir / node / "device" / "capabilities";
    auto read = [&](const char* name) -> std::optional<std::set<unsigned>> {
        std::ifstream in(dir / name);
        if (!in) return std::nullopt;
        std::stringstream text;
        text << in.rdbuf();
        return parseSysfsBits(text.str());
    };
    auto ev = read("ev");
    if (!ev) return std::nullopt;
    return InputCapabilities{*ev, read("key").value_or(std::set<unsigned>{}),
                             read("rel").value_or(std::set<unsigned>{}),
                             read("abs").value_or(std::set<unsigned>{})};
}

std::set<unsigned> ioctlBits(int fd, unsigned type, unsigned count) {
    std::vector<unsigned long> words(count / kLongBits + 1, 0);
    std::set<unsigned> bits;
    if (::ioctl(fd, EVIOCGBIT(type, words.size() * sizeof(unsigned long)), words.data()) < 0) {
        return bits;
    }
    for (unsigned b = 0; b < count; ++b) {
        if (words[b / kLongBits] & (1UL << (b % kLongBits))) bits.insert(b);
    }
    return bits;
}

InputCapabilities openedCapabilities(int fd) {
    return {ioctlBits(fd, 0, EV_CNT), ioctlBits(fd, EV_KEY, KEY_CNT),
            ioctlBits(fd, EV_REL, REL_CNT), ioctlBits(fd, EV_ABS, ABS_CNT)};
}

// The event nodes of `devDir` that sysfs says are pointers, in name order. Nodes sysfs does not
// describe are left alone: without their capabilities they might be keyboards.
std::vector<fs::path> pointerNodes(const fs::path& devDir, const fs::path& sysDir) {
    std::vector<fs::path> nodes;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(devDir, ec)) {
        std::string name = entry.path().filename().string();
        if (!name.starts_with("event")) continue;
        auto caps = sysfsCapabilities(sysDir, name);
        if (caps && classifyInputDevice(*caps) == InputDeviceKind::pointer) {
            nodes.push_back(entry.path());
        }
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

// Opens a node sysfs called a pointer, and keeps it only if the device itself agrees (the node
// may have been replaced in between). Answers -1 with errno set when it cannot be opened.
int openPointer(const fs::path& node) {
    int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (classifyInputDevice(openedCapabilities(fd)) != InputDeviceKind::pointer) {
        ::close(fd);
        errno = ENODEV;
        return -1;
    }
    return fd;
}

}  // namespace

InputDeviceKind classifyInputDevice(const InputCapabilities& caps) {
    auto has = [](const std::set<unsigned>& set, unsigned code) { return set.count(code) > 0; };
    if (has(caps.events, EV_KEY)) {
        // Escape, the digits and the letters: the main block (codes 1 to 50) of any keyboard.
        auto keyboardKey = std::find_if(caps.keys.begin(), caps.keys.end(),
                                        [](unsigned k) { return k >= KEY_ESC && k <= KEY_M; });
        if (keyboardKey != caps.keys.end()) return InputDeviceKind::keyboard;
    }
    if (!has(caps.events, EV_KEY) || !has(caps.keys, BTN_LEFT)) return InputDeviceKind::ignored;
    bool moves =
        (has(caps.events, EV_REL) && has(caps.relative, REL_X) && has(caps.relative, REL_Y)) ||
        (has(caps.events, EV_ABS) && has(caps.absolute, ABS_X) && has(caps.absolute, ABS_Y));
    return moves ? InputDeviceKind::pointer : InputDeviceKind::ignored;
}

PointerAccess pointerAccess(const fs::path& devDir, const fs::path& sysDir) {
    auto nodes = pointerNodes(devDir, sysDir);
    if (nodes.empty()) return PointerAccess::missing;
    for (const auto& node : nodes) {
        int fd = openPointer(node);
        if (fd >= 0) {
            ::close(fd);
            return PointerAccess::granted;
        }
    }
    return PointerAccess::denied;
}

struct PointerButtons::Impl {
    struct Device {
        int fd = -1;
        GSource* source = nullptr;
        std::string pending;  // the start of a record a read split (pipes only)
    };
    std::vector<Device> devices;
    std::function<void()> onPress;

    ~Impl() {
        unwatch();
        for (auto& d : devices) ::close(d.fd);
    }

    void unwatch() {
        for (auto& d : devices) {
            if (!d.source) continue;
            g_source_destroy(d.source);
            g_source_unref(d.source);
            d.source = nullptr;
        }
        onPress = nullptr;
    }

    // Reads what the device has; false once it has gone (unplugged, or the stand-in closed).
    bool drain(Device& d) {
        char buffer[64 * sizeof(input_event)];
        for (;;) {
            ssize_t n = ::read(d.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
            if (n == 0) return false;
            d.pending.append(buffer, static_cast<std::size_t>(n));
            std::size_t whole = d.pending.size() / sizeof(input_event) * sizeof(input_event);
            int presses = 0;
            for (std::size_t at = 0; at < whole; at += sizeof(input_event)) {
                input_event ev;
                std::memcpy(&ev, d.pending.data() + at, sizeof ev);
                if (ev.type == EV_KEY && ev.code == BTN_LEFT && ev.value == 1) ++presses;
            }
            d.pending.erase(0, whole);
            // onPress may stop the watch; read on only while it stands.
            for (int i = 0; i < presses && onPress; ++i) onPress();
            if (!onPress) return true;
        }
    }

    static gboolean onReadable(gint fd, GIOCondition condition, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        auto it = std::find_if(self->devices.begin(), self->devices.end(),
                               [fd](const Device& d) { return d.fd == fd; });
        if (it == self->devices.end() || it->source != g_main_current_source()) {
            return G_SOURCE_REMOVE;
        }
        bool alive = !(condition & G_IO_NVAL) && self->drain(*it);
        // drain may have run onPress, which may have stopped the watch or replaced it (the
        // device list itself changes only here).
        if (it->source != g_main_current_source()) return G_SOURCE_REMOVE;
        if (alive && !(condition & (G_IO_HUP | G_IO_ERR))) return G_SOURCE_CONTINUE;
        g_source_unref(it->source);
        ::close(it->fd);
        self->devices.erase(it);
        return G_SOURCE_REMOVE;  // destroys the source
    }
};

Result<std::unique_ptr<PointerButtons>> PointerButtons::open(const fs::path& devDir,
                                                             const fs::path& sysDir) {
    auto nodes = pointerNodes(devDir, sysDir);
    if (nodes.empty()) return fail("No pointer device was found in " + devDir.string() + ".");
    std::vector<int> fds;
    int refused = 0;
    for (const auto& node : nodes) {
        int fd = openPointer(node);
        if (fd >= 0) {
            fds.push_back(fd);
        } else {
            refused = errno;
        }
    }
    if (fds.empty()) {
        return fail("The pointer devices cannot be read (" + std::string(std::strerror(refused)) +
                    "): this user is not in the input group.");
    }
    return fromDescriptors(std::move(fds));
}

std::unique_ptr<PointerButtons> PointerButtons::fromDescriptors(std::vector<int> fds) {
    auto impl = std::make_unique<Impl>();
    for (int fd : fds) {
        g_unix_set_fd_nonblocking(fd, TRUE, nullptr);
        impl->devices.push_back({.fd = fd});
    }
    return std::unique_ptr<PointerButtons>(new PointerButtons(std::move(impl)));
}

PointerButtons::PointerButtons(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PointerButtons::~PointerButtons() = default;

void PointerButtons::watchPrimaryPresses(Queue& queue, std::function<void()> onPress) {
    impl_->unwatch();
    impl_->onPress = std::move(onPress);
    for (auto& d : impl_->devices) {
        d.source = g_unix_fd_source_new(d.fd, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR));
        g_source_set_callback(d.source, G_SOURCE_FUNC(&Impl::onReadable), impl_.get(), nullptr);
        g_source_attach(d.source, queue.context());
    }
}

void PointerButtons::stopWatching() {
    impl_->unwatch();
}

std::size_t PointerButtons::deviceCount() const {
    return impl_->devices.size();
}

}  // namespace marlune::wayland
