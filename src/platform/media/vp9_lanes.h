#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/error.h"
#include "platform/media/av_support.h"

namespace marlune {

// VP9 encoded by a few libvpx encoders side by side ("lanes"). With threads of its own, libvpx
// keeps about 1.6 of two cores busy and spends seconds a minute of movie waiting between them;
// here each group of pictures, from one key frame to the next, goes whole to one single-threaded
// lane in turn, and the packets are put back in order. A key frame resets every reference and
// probability the decoder keeps, so the groups play as one stream. Each lane sees its groups one
// after another, as if nothing lay between them, so that its rate control keeps to the bit rate.
//
// A lane starts its group while the group before is still being encoded only as far as its
// queue lets the caller run ahead: a queue of a whole group keeps every lane busy.
//
// One caller thread at a time; the lanes run on threads of their own.
class Vp9Lanes {
  public:
    struct Options {
        int lanes = 2;
        std::size_t queued = 60;      // pictures waiting for each lane, at most
        std::int64_t frameTicks = 1;  // one picture's nominal time in the encoders' time base
    };
    // `makeEncoder` opens one encoder, once per lane; all must share their settings.
    static Result<std::unique_ptr<Vp9Lanes>> open(
        Options options, const std::function<Result<av::CodecContext>()>& makeEncoder);
    ~Vp9Lanes();  // abandons what is queued

    const AVCodecContext* context() const;  // the first lane's, whose settings all share

    // Queues a picture shown at `pts` (the encoders' time base; growing), starting a group when
    // `key` (the first picture always does). A `reusable` picture comes back from `spare` once
    // encoded. Waits while its lane's queue is full. Returns the packets ready, in order, timed
    // as their pictures were; a failure of any lane is returned from then on.
    Result<std::vector<av::PacketPtr>> add(av::FramePtr picture, std::int64_t pts, bool key,
                                           bool reusable);
    // Drains every lane and returns the packets still inside, in order. Adds nothing after.
    Result<std::vector<av::PacketPtr>> finish();
    // A reusable picture its lane is done with, or null.
    av::FramePtr spare();

    struct State;

  private:
    explicit Vp9Lanes(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace marlune
