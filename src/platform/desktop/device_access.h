#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace marlune::desktop {

// What the program may do with a recording device. There is no permission prompt on this
// platform: a device is usable when it exists and opens, and refused when it exists but the
// system (file permissions, a sandbox, the sound server) turns the program away.
enum class DeviceAccess { missing, granted, denied };

// The microphone: the sound server's (PulseAudio, or PipeWire through it) default source, when it
// is a capture device rather than the monitor of an output. `microphoneAccess` only looks (it is
// cheap enough to call whenever the page asks and never starts a recording indicator);
// `openMicrophone` opens a short recording stream on it. Neither starts a sound server; each gives
// up after about two seconds. Any thread.
DeviceAccess microphoneAccess();
DeviceAccess openMicrophone();

// A capture device of the sound server, as the record screen offers it.
struct AudioInput {
    std::string name;         // the server's name, what a recording asks for
    std::string description;  // what the desktop's sound settings call it
    bool isDefault = false;   // the server's default source
};
// Every source that is a capture device (outputs' monitors are left out), in the server's order;
// empty without a sound server. Gives up after about two seconds. Any thread.
std::vector<AudioInput> audioInputs();

// The cameras: the V4L2 video-capture nodes "video<N>" of `devDir`. Granted when one opens (which
// does not start it), denied when one exists but opening it is refused, missing otherwise. Any
// thread.
DeviceAccess cameraAccess(const std::filesystem::path& devDir = "/dev");
// The camera the program is set to use: FFmpeg's input format and device. A "v4l2" device is
// looked at itself (a node under another name, "/dev/v4l/by-id/…", included), then, when it is
// missing, the cameras of `devDir`; any other input format opens no device and counts as
// granted, so that the status agrees with the webcam bubble. Any thread.
DeviceAccess cameraAccessFor(std::string_view inputFormat, const std::filesystem::path& device,
                             const std::filesystem::path& devDir = "/dev");

// Whether the screen can be captured: an X11 display that answers. A Wayland session has no
// capture path (its X11 compatibility server shows only some of the windows).
enum class ScreenAccess { available, noCapturePath, noDisplay };
// The environment's values of XDG_SESSION_TYPE, WAYLAND_DISPLAY and DISPLAY decide, then the
// display is asked.
ScreenAccess screenAccess();
// The same rule with the environment given and the display's answer known.
ScreenAccess screenAccessFor(std::string_view sessionType, std::string_view waylandDisplay,
                             std::string_view display, bool displayAnswers);

}  // namespace marlune::desktop
