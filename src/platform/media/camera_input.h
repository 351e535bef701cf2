#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/error.h"
#include "platform/image/bgra_image.h"

namespace marlune {

// Which camera to open: a libavdevice input format and the device's name within it. A real
// camera is "v4l2" with a device node; machines without one (and the tests) use the "lavfi"
// input with a filter graph such as
// "testsrc2=size=1280x720:rate=30,format=yuyv422,realtime", which goes through the same calls.
struct CameraSource {
    std::string format = "v4l2";
    std::string device = "/dev/video0";

    bool operator==(const CameraSource&) const = default;
};

// What to ask a camera for. A device that cannot give it picks what it can; inputs whose picture
// is fixed by their own description (lavfi) ignore the request. What is really delivered is what
// CameraInput's width(), height() say.
struct CameraMode {
    int width = 640;
    int height = 480;
    int fps = 24;

    bool operator==(const CameraMode&) const = default;
};

// One opened camera: pictures are read one at a time, as they arrive (grab), and only those
// that are wanted are decoded and converted to BGRA (retrieve), once each. One thread at a time
// (any thread); grab blocks until the device delivers. Move-only.
class CameraInput {
  public:
    // Opens the device in `mode`. Blocking: a device may take a moment to start. Fails with
    // FFmpeg's text (a missing device node reads "No such file or directory").
    static Result<CameraInput> open(const CameraSource& source, const CameraMode& mode);

    CameraInput(CameraInput&&) noexcept;
    CameraInput& operator=(CameraInput&&) noexcept;
    ~CameraInput();

    int width() const;
    int height() const;

    // Waits for the next picture and returns when it was taken, in nanoseconds on the host clock
    // (CLOCK_MONOTONIC): the device's own timestamp when the device keeps that clock (V4L2's
    // monotonic buffer times), else the moment it arrived. Fails when the device goes away or
    // stops delivering.
    Result<std::int64_t> grab();
    // Decodes the last grabbed picture and converts it to opaque BGRA of width() × height() in
    // `into`, which is reallocated only when its size differs. Fails when nothing was grabbed
    // since the last retrieve, or the picture does not decode.
    Result<void> retrieve(BgraImage& into);

    struct Impl;

  private:
    explicit CameraInput(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune
