#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "core/media_sample.h"
#include "platform/media/camera_input.h"

namespace marlune {

// Lets through at most `fps` of a stream of timed pictures a second, evenly: a 30 fps camera
// capped at 24 gives four pictures in five, at 30 every picture (a little early or late
// included), at 60 every other one. After a gap it starts afresh. One thread at a time.
class FramePacer {
  public:
    explicit FramePacer(int fps = 30) { setFps(fps); }
    void setFps(int fps);
    // Whether the picture taken at `t` is let through; counts it if so.
    bool admit(HostTime t);
    void reset() { started_ = false; }

  private:
    HostTime period_ = 0;
    HostTime due_ = 0;
    bool started_ = false;
};

// A camera kept running on a thread of its own: the device is opened, read and closed there, so
// a camera that stalls holds up nothing else. Pictures go to `onFrame` on that thread, with the
// mode the camera was opened in for them, converted
// to BGRA, at most `mode.fps` a second; a failed open is logged once ("Marlune: camera input
// unavailable") and the session then waits, empty, to be restarted or given another mode.
//
// Every member may be called from any thread and returns at once. Always owned by a shared_ptr.
class CameraSession {
  public:
    using FrameHandler = std::function<void(VideoFrame, const CameraMode&)>;
    using ModeDone = std::function<void(bool running)>;

    static std::shared_ptr<CameraSession> start(CameraSource source, CameraMode mode,
                                                FrameHandler onFrame);
    // Stops the session (see stop).
    ~CameraSession();
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    // Asks for another mode: the camera is reopened in it when it differs from the current one
    // (or the camera is not running). `done` runs on the session's thread with whether the
    // camera now runs; never after stop.
    void setMode(CameraMode mode, ModeDone done = {});
    // Closes and reopens the camera, which revives one that stopped delivering.
    void restart();
    // Ends the session: no picture is delivered after this returns except one already being
    // handed over on the session's thread; the device closes once its current read returns.
    void stop();

    // Times the camera has been opened successfully.
    int opens() const;
    // Waits up to `timeout` for the session's thread to end after stop; true when it has.
    bool waitEnded(std::chrono::milliseconds timeout) const;

    struct Shared;

  private:
    explicit CameraSession(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    std::shared_ptr<Shared> shared_;
};

}  // namespace marlune
