// The Wayland click reader: it reads pointers, never keyboards, and counts only primary presses.

#include "platform/wayland/pointer_buttons.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <fstream>

#include "support/main_loop.h"
#include "support/temp_dir.h"

namespace marlune::wayland {
namespace {

InputCapabilities caps(std::set<unsigned> events, std::set<unsigned> keys,
                       std::set<unsigned> rel = {}, std::set<unsigned> abs = {}) {
    return {std::move(events), std::move(keys), std::move(rel), std::move(abs)};
}

TEST(PointerButtonsTest, OnlyPointersAreRead) {
    const struct {
        const char* device;
        InputCapabilities caps;
        InputDeviceKind kind;
    } cases[] = {
        {"mouse", caps({EV_KEY, EV_REL}, {BTN_LEFT, BTN_RIGHT}, {REL_X, REL_Y, REL_WHEEL}),
         InputDeviceKind::pointer},
        {"clickpad",
         caps({EV_KEY, EV_ABS}, {BTN_LEFT, BTN_TOOL_FINGER, BTN_TOUCH}, {},
              {ABS_X, ABS_Y, ABS_MT_POSITION_X}),
         InputDeviceKind::pointer},
        {"keyboard", caps({EV_KEY, EV_LED, EV_REP}, {KEY_ESC, KEY_A, KEY_Z, KEY_ENTER}),
         InputDeviceKind::keyboard},
        {"keyboard and mouse on one node",
         caps({EV_KEY, EV_REL}, {KEY_A, BTN_LEFT}, {REL_X, REL_Y}), InputDeviceKind::keyboard},
        {"touchscreen", caps({EV_KEY, EV_ABS}, {BTN_TOUCH}, {}, {ABS_X, ABS_Y}),
         InputDeviceKind::ignored},
        {"buttons without motion", caps({EV_KEY}, {BTN_LEFT}), InputDeviceKind::ignored},
        {"axes listed without their event type", caps({EV_KEY}, {BTN_LEFT}, {REL_X, REL_Y}),
         InputDeviceKind::ignored},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(classifyInputDevice(c.caps), c.kind) << c.device;
    }
}

std::string record(unsigned short type, unsigned short code, int value) {
    input_event ev{};
    ev.type = type;
    ev.code = code;
    ev.value = value;
    return std::string(reinterpret_cast<const char*>(&ev), sizeof ev);
}

TEST(PointerButtonsTest, OnlyPrimaryPressesCount) {
    const std::string press = record(EV_KEY, BTN_LEFT, 1), release = record(EV_KEY, BTN_LEFT, 0),
                      sync = record(EV_SYN, SYN_REPORT, 0);
    const struct {
        const char* what;
        std::vector<std::string> writes;  // each written on its own
        int presses;
    } cases[] = {
        {"a click", {press + sync + release + sync}, 1},
        {"a record split across writes", {press.substr(0, 5), press.substr(5) + release}, 1},
        {"a held button repeating", {press + record(EV_KEY, BTN_LEFT, 2) + release}, 1},
        {"secondary and middle buttons",
         {record(EV_KEY, BTN_RIGHT, 1) + record(EV_KEY, BTN_MIDDLE, 1)},
         0},
        {"motion and the touchpad's touch",
         {record(EV_REL, REL_X, 4) + record(EV_KEY, BTN_TOUCH, 1)},
         0},
    };
    for (const auto& c : cases) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        auto buttons = PointerButtons::fromDescriptors({pipeFds[0]});
        int seen = 0;
        buttons->watchPrimaryPresses(Queue::main(), [&] { ++seen; });
        for (const auto& w : c.writes) {
            ASSERT_EQ(::write(pipeFds[1], w.data(), w.size()), static_cast<ssize_t>(w.size()));
            test::runMainFor(std::chrono::milliseconds(20));
        }
        // The end of the stream is seen after every record before it.
        ::close(pipeFds[1]);
        EXPECT_TRUE(test::runMainUntil([&] { return buttons->deviceCount() == 0; })) << c.what;
        EXPECT_EQ(seen, c.presses) << c.what;
    }
}

// A /dev/input and /sys/class/input of plain files: sysfs lists each node's capabilities as the
// kernel does (hexadecimal longs, most significant first).
void addNode(const std::filesystem::path& dev, const std::filesystem::path& sys,
             const std::string& name, const std::map<std::string, std::string>& capabilities) {
    std::ofstream(dev / name) << "";
    auto dir = sys / name / "device" / "capabilities";
    std::filesystem::create_directories(dir);
    for (const auto& [file, bits] : capabilities) std::ofstream(dir / file) << bits << "\n";
}

TEST(PointerButtonsTest, AccessIsFoundWithoutOpeningKeyboards) {
    test::TempDir root;
    auto dev = root.path() / "dev", sys = root.path() / "sys";
    std::filesystem::create_directories(dev);
    std::filesystem::create_directories(sys);
    EXPECT_EQ(pointerAccess(dev, sys), PointerAccess::missing) << "no node";
    // ev 0x120013: SYN KEY MSC LED REP; the letters' bits are in the lowest key word.
    addNode(dev, sys, "event0", {{"ev", "120013"}, {"key", "0 0 0 fffffffffffffffe"}});
    EXPECT_EQ(pointerAccess(dev, sys), PointerAccess::missing) << "a keyboard only";
    // ev 0x17: SYN KEY REL MSC; BTN_LEFT is bit 0x110 (the fifth word); REL_X and REL_Y.
    addNode(dev, sys, "event1", {{"ev", "17"}, {"key", "70000 0 0 0 0"}, {"rel", "3"}});
    std::ofstream(dev / "event2") << "";  // no sysfs entry: not known to be a pointer

    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dev.c_str(), IN_OPEN), 0);
    // The plain file is no device: the open node's own answer (EVIOCGBIT) turns it down.
    EXPECT_EQ(pointerAccess(dev, sys), PointerAccess::denied);
    EXPECT_FALSE(PointerButtons::open(dev, sys).has_value());
    std::set<std::string> opened;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
        for (char* p = buffer; p < buffer + n;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            if (ev->len) opened.insert(ev->name);
            p += sizeof(inotify_event) + ev->len;
        }
    }
    ::close(watch);
    EXPECT_EQ(opened, std::set<std::string>{"event1"});
}

}  // namespace
}  // namespace marlune::wayland
