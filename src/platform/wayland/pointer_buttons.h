#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "core/error.h"
#include "core/queue.h"

namespace marlune::wayland {

// What an evdev node reports it can send, as the kernel lists it (EVIOCGBIT, or the node's
// capabilities folder in sysfs): event types and the codes of keys, relative and absolute axes.
struct InputCapabilities {
    std::set<unsigned> events;
    std::set<unsigned> keys;
    std::set<unsigned> relative;
    std::set<unsigned> absolute;
};

// What a node is to the click reader. Keyboards are never read: anything with keys of the main
// keyboard block counts as one, even when it also has mouse buttons (some wireless receivers
// combine both on one node).
enum class InputDeviceKind { pointer, keyboard, ignored };
InputDeviceKind classifyInputDevice(const InputCapabilities& caps);

// Whether this user can read the pointers' button presses: granted when some pointer opens,
// denied when pointers exist but none opens (the user is not in the `input` group), missing when
// there is no pointer node at all. Keyboards are not opened to find out. Any thread.
enum class PointerAccess { granted, denied, missing };
PointerAccess pointerAccess(const std::filesystem::path& devDir = "/dev/input",
                            const std::filesystem::path& sysDir = "/sys/class/input");

// Why a Wayland recording has no click track when the pointers could not be read: the project
// keeps it ("missing": {"clicks": …}) and the editor shows it.
inline constexpr const char* kClicksMissingReason =
    "No clicks were recorded: on Wayland, Marlune reads clicks from the mouse and touchpad "
    "devices, and this account may not open them (see Permissions on the record screen).";

// Presses of the primary button read straight from the pointer devices (/dev/input/event*).
// A Wayland compositor gives no application the other clients' pointer events, so this is where
// the clicks come from there. Only pointers are opened (each node's capabilities are read from
// sysfs first, and checked again with EVIOCGBIT once it is open); keyboards never are. Only
// BTN_LEFT presses count: the kernel's own button, before any left-handed remapping the desktop
// applies. Devices plugged in after `open` are not seen.
//
// One thread owns it: create, watch, stop and destroy it on the thread of the queue given to
// `watchPrimaryPresses` (the descriptors are watched on that queue's main context).
class PointerButtons {
  public:
    // Opens every readable pointer of `devDir`. Fails when none opens, saying whether pointers
    // exist (then the user lacks the permission) or not.
    static Result<std::unique_ptr<PointerButtons>> open(
        const std::filesystem::path& devDir = "/dev/input",
        const std::filesystem::path& sysDir = "/sys/class/input");
    // Reads struct input_event records from descriptors already open (taken over, closed with
    // this object): for devices opened elsewhere, and a stand-in pipe in tests.
    static std::unique_ptr<PointerButtons> fromDescriptors(std::vector<int> fds);

    ~PointerButtons();
    PointerButtons(const PointerButtons&) = delete;
    PointerButtons& operator=(const PointerButtons&) = delete;

    // Calls `onPress` on `queue` for each press of BTN_LEFT on any of the devices, until
    // `stopWatching` or destruction. A device that goes away is dropped; the others go on.
    // Replaces an earlier watch.
    void watchPrimaryPresses(Queue& queue, std::function<void()> onPress);
    void stopWatching();

    // How many devices are being read (those that went away are not counted).
    std::size_t deviceCount() const;

    struct Impl;

  private:
    explicit PointerButtons(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune::wayland
