#pragma once

#include <filesystem>
#include <string_view>

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

// The cameras: the V4L2 video-capture nodes "video<N>" of `devDir`. Granted when one opens (which
// does not start it), denied when one exists but opening it is refused, missing otherwise. Any
// thread.
DeviceAccess cameraAccess(const std::filesystem::path& devDir = "/dev");

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
