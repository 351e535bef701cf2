#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "core/bounded_channel.h"
#include "core/error.h"
#include "core/queue.h"
#include "core/recycler.h"
#include "platform/image/bgra_image.h"
#include "platform/media/video_decoder.h"

namespace marlune {

// The encoding end of an export's pictures, on a queue of its own (".render.encode"), so that
// the next picture is composed while this one is converted and encoded: on two cores the encoder
// no longer waits for the composition, nor the composition for the encoder.
//
// Threads: push(), canvas() and finish() are the composing thread's; the encode function runs on
// the stage's queue, one picture at a time in the order pushed.
class EncodeStage {
  public:
    struct Picture {
        std::shared_ptr<BgraImage> bgra;  // a composed (or converted) picture, or null …
        VideoPicture decoded;             // … the source's own picture, passed through
        double outSeconds = 0;
    };
    using Encode = std::function<Result<void>(Picture&)>;

    // `depth` pictures may wait for the encoder.
    EncodeStage(Encode encode, std::size_t depth);
    // Waits for the queue (finish() first for the pictures to be encoded).
    ~EncodeStage();
    EncodeStage(const EncodeStage&) = delete;
    EncodeStage& operator=(const EncodeStage&) = delete;

    // A picture to compose into, back to the stage's pool once encoded.
    std::shared_ptr<BgraImage> canvas();
    // Hands a picture over; waits while `depth` wait already. False once encoding failed (the
    // picture is dropped; finish() tells why).
    bool push(Picture picture);
    // Encodes what waits and returns the first failure. Drops what waits instead after cancel().
    Result<void> finish();
    // Drops what waits: nothing more is encoded.
    void cancel();

  private:
    void run();

    Encode encode_;
    BoundedChannel<Picture> channel_;
    std::shared_ptr<Recycler<BgraImage>> canvases_;
    std::shared_ptr<Queue> queue_;
    std::mutex doneLock_;
    std::condition_variable doneChanged_;
    bool done_ = false;
    std::atomic<bool> failed_{false};
    std::optional<Error> error_;  // written by the stage before done_, read after
};

}  // namespace marlune
