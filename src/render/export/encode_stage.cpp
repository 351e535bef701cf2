#include "render/export/encode_stage.h"

#include <pthread.h>

namespace marlune {

EncodeStage::EncodeStage(Encode encode, std::size_t depth)
    : encode_(std::move(encode)),
      channel_(depth),
      // Those waiting, the one being encoded and the one being composed.
      canvases_(Recycler<BgraImage>::make(depth + 2)),
      queue_(Queue::makeSerial(".render.encode")) {
    queue_->post([this] { run(); });
}

EncodeStage::~EncodeStage() {
    channel_.cancel();
    queue_.reset();  // joins the stage's thread once run() has returned
}

std::shared_ptr<BgraImage> EncodeStage::canvas() {
    auto image = canvases_->take([](const BgraImage&) { return true; },
                                 [] { return std::make_unique<BgraImage>(); });
    // Every canvas is out only when the encoder is slower than the pool allows for; a new one
    // then costs an allocation, not a wait.
    return image ? image : std::make_shared<BgraImage>();
}

bool EncodeStage::push(Picture picture) {
    return !failed_ && channel_.push(std::move(picture));
}

void EncodeStage::run() {
    pthread_setname_np(pthread_self(), "render.encode");
    while (auto picture = channel_.pop()) {
        if (failed_) continue;  // drained without encoding once a picture failed
        if (auto encoded = encode_(*picture); !encoded) {
            error_ = encoded.error();
            failed_ = true;
            channel_.cancel();  // wakes a composer waiting for room
        }
    }
    std::lock_guard lock(doneLock_);
    done_ = true;
    doneChanged_.notify_all();
}

Result<void> EncodeStage::finish() {
    channel_.end();
    std::unique_lock lock(doneLock_);
    doneChanged_.wait(lock, [&] { return done_; });
    if (error_) return std::unexpected(*error_);
    return {};
}

void EncodeStage::cancel() {
    channel_.cancel();
}

}  // namespace marlune
