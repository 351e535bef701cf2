#include "platform/desktop/device_access.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <pulse/pulseaudio.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

namespace marlune::desktop {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPulseTimeout = std::chrono::seconds(2);

// One short conversation with the sound server on a private loop.
class PulseSession {
  public:
    PulseSession() : loop_(pa_mainloop_new()), deadline_(Clock::now() + kPulseTimeout) {
        if (!loop_) return;
        context_ = pa_context_new(pa_mainloop_get_api(loop_), "Marlune Studio");
    }
    ~PulseSession() {
        if (stream_) {
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
        }
        if (context_) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        if (loop_) pa_mainloop_free(loop_);
    }
    PulseSession(const PulseSession&) = delete;
    PulseSession& operator=(const PulseSession&) = delete;

    // Connected, or the access it was refused (denied) or could not have (missing).
    DeviceAccess connect() {
        if (!context_) return DeviceAccess::missing;
        // Never start a sound server just to answer a question.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            return refusal(pa_context_errno(context_));
        }
        pa_context_state_t state = PA_CONTEXT_UNCONNECTED;
        bool settled = runUntil([&] {
            state = pa_context_get_state(context_);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        });
        if (!settled) return DeviceAccess::missing;
        if (state != PA_CONTEXT_READY) return refusal(pa_context_errno(context_));
        return DeviceAccess::granted;
    }

    // The server's default source's name; nothing when the server does not answer.
    std::optional<std::string> defaultSourceName() {
        struct Answer {
            bool done = false;
            std::string name;
        } server;
        pa_operation_unref(pa_context_get_server_info(
            context_,
            +[](pa_context*, const pa_server_info* info, void* data) {
                auto* a = static_cast<Answer*>(data);
                if (info && info->default_source_name) a->name = info->default_source_name;
                a->done = true;
            },
            &server));
        if (!runUntil([&] { return server.done; })) return std::nullopt;
        return server.name;
    }

    // The default source's name, when it is a capture device rather than an output's monitor.
    std::optional<std::string> defaultCaptureSource() {
        const auto name = defaultSourceName();
        if (!name || name->empty()) return std::nullopt;

        struct Source {
            bool done = false;
            bool found = false;
            bool monitor = false;
        } source;
        pa_operation_unref(pa_context_get_source_info_by_name(
            context_, name->c_str(),
            +[](pa_context*, const pa_source_info* info, int eol, void* data) {
                auto* s = static_cast<Source*>(data);
                if (info) {
                    s->found = true;
                    s->monitor = info->monitor_of_sink != PA_INVALID_INDEX;
                }
                if (eol != 0) s->done = true;
            },
            &source));
        if (!runUntil([&] { return source.done; })) return std::nullopt;
        if (!source.found || source.monitor) return std::nullopt;
        return name;
    }

    // Every capture source, the default one marked.
    std::vector<AudioInput> captureSources() {
        const auto defaultName = defaultSourceName();
        if (!defaultName) return {};
        struct Sources {
            bool done = false;
            std::vector<AudioInput> inputs;
        } sources;
        pa_operation_unref(pa_context_get_source_info_list(
            context_,
            +[](pa_context*, const pa_source_info* info, int eol, void* data) {
                auto* s = static_cast<Sources*>(data);
                if (info && info->name && info->monitor_of_sink == PA_INVALID_INDEX) {
                    s->inputs.push_back(
                        AudioInput{info->name, info->description ? info->description : info->name});
                }
                if (eol != 0) s->done = true;
            },
            &sources));
        if (!runUntil([&] { return sources.done; })) return {};
        for (auto& input : sources.inputs) input.isDefault = input.name == *defaultName;
        return sources.inputs;
    }

    // Opens a recording stream on `source` and closes it again.
    DeviceAccess record(const std::string& source) {
        pa_sample_spec spec{PA_SAMPLE_S16LE, 16000, 1};
        stream_ = pa_stream_new(context_, "Microphone check", &spec, nullptr);
        if (!stream_) return DeviceAccess::missing;
        if (pa_stream_connect_record(stream_, source.c_str(), nullptr, PA_STREAM_NOFLAGS) < 0) {
            return refusal(pa_context_errno(context_));
        }
        pa_stream_state_t state = PA_STREAM_UNCONNECTED;
        bool settled = runUntil([&] {
            state = pa_stream_get_state(stream_);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        });
        if (!settled) return DeviceAccess::missing;
        if (state != PA_STREAM_READY) return refusal(pa_context_errno(context_));
        return DeviceAccess::granted;
    }

  private:
    static DeviceAccess refusal(int error) {
        return error == PA_ERR_ACCESS ? DeviceAccess::denied : DeviceAccess::missing;
    }

    // Runs the loop until `done` or the session's deadline; answers `done()`.
    bool runUntil(const std::function<bool()>& done) {
        while (!done()) {
            auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - Clock::now());
            if (left.count() <= 0) return false;
            if (pa_mainloop_prepare(loop_, static_cast<int>(left.count())) < 0) return false;
            if (pa_mainloop_poll(loop_) < 0) return false;
            if (pa_mainloop_dispatch(loop_) < 0) return false;
        }
        return true;
    }

    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    Clock::time_point deadline_;
};

DeviceAccess microphone(bool open) {
    PulseSession pulse;
    DeviceAccess connected = pulse.connect();
    if (connected != DeviceAccess::granted) return connected;
    auto source = pulse.defaultCaptureSource();
    if (!source) return DeviceAccess::missing;
    return open ? pulse.record(*source) : DeviceAccess::granted;
}

bool isVideoNode(const std::string& name) {
    if (!name.starts_with("video") || name.size() == 5) return false;
    return name.find_first_not_of("0123456789", 5) == std::string::npos;
}

const char* environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

DeviceAccess microphoneAccess() {
    return microphone(false);
}

DeviceAccess openMicrophone() {
    return microphone(true);
}

std::vector<AudioInput> audioInputs() {
    PulseSession pulse;
    if (pulse.connect() != DeviceAccess::granted) return {};
    return pulse.captureSources();
}

namespace {

// A video node: granted when it opens and can capture, denied when opening it is refused,
// missing otherwise (no such node, a metadata node, another kind of device).
DeviceAccess videoNodeAccess(const std::filesystem::path& node) {
    int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES || errno == EPERM ? DeviceAccess::denied : DeviceAccess::missing;
    v4l2_capability caps{};
    bool capture = false;
    if (::ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0) {
        // Metadata nodes of the same camera answer too, without the capture capability.
        std::uint32_t which =
            (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
        capture = (which & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) != 0;
    }
    ::close(fd);
    return capture ? DeviceAccess::granted : DeviceAccess::missing;
}

}  // namespace

DeviceAccess cameraAccess(const std::filesystem::path& devDir) {
    bool refused = false;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(devDir, ec)) {
        if (!isVideoNode(entry.path().filename().string())) continue;
        DeviceAccess access = videoNodeAccess(entry.path());
        if (access == DeviceAccess::granted) return access;
        refused = refused || access == DeviceAccess::denied;
    }
    return refused ? DeviceAccess::denied : DeviceAccess::missing;
}

DeviceAccess cameraAccessFor(std::string_view inputFormat, const std::filesystem::path& device,
                             const std::filesystem::path& devDir) {
    // Another input (a stream, a test picture) is not a device anybody has to allow.
    if (inputFormat != "v4l2") return DeviceAccess::granted;
    DeviceAccess access = videoNodeAccess(device);
    return access == DeviceAccess::missing ? cameraAccess(devDir) : access;
}

ScreenAccess screenAccessFor(std::string_view sessionType, std::string_view waylandDisplay,
                             std::string_view display, bool displayAnswers) {
    if (sessionType == "wayland" || (!waylandDisplay.empty() && sessionType != "x11")) {
        return ScreenAccess::noCapturePath;
    }
    if (display.empty() || !displayAnswers) return ScreenAccess::noDisplay;
    return ScreenAccess::available;
}

ScreenAccess screenAccess() {
    std::string_view sessionType = environment("XDG_SESSION_TYPE");
    std::string_view wayland = environment("WAYLAND_DISPLAY");
    std::string_view display = environment("DISPLAY");
    bool answers = false;
    // Asking a Wayland session's X11 server would only start it for nothing.
    if (screenAccessFor(sessionType, wayland, display, true) == ScreenAccess::available) {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        answers = xcb_connection_has_error(c) == 0;
        xcb_disconnect(c);
    }
    return screenAccessFor(sessionType, wayland, display, answers);
}

}  // namespace marlune::desktop
