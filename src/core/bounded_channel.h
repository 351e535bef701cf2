#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace marlune {

// A bounded hand-over of items from producer threads to consumer threads, in order. A full
// channel blocks its producer, an empty one its consumer, so that a pipeline keeps a flat memory
// footprint whatever its length. `end` lets the consumer drain what is left; `cancel` drops
// everything and wakes both sides for good. Every member may be called from any thread.
template <class T>
class BoundedChannel {
  public:
    explicit BoundedChannel(std::size_t capacity) : capacity_(capacity) {}
    BoundedChannel(const BoundedChannel&) = delete;
    BoundedChannel& operator=(const BoundedChannel&) = delete;

    // Waits for room. False once cancelled (the item is dropped).
    bool push(T item) {
        std::unique_lock lock(mutex_);
        notFull_.wait(lock, [&] { return cancelled_ || items_.size() < capacity_; });
        if (cancelled_) return false;
        items_.push_back(std::move(item));
        notEmpty_.notify_one();
        return true;
    }

    // Waits for an item. Nothing once ended and drained, or cancelled.
    std::optional<T> pop() {
        std::unique_lock lock(mutex_);
        notEmpty_.wait(lock, [&] { return cancelled_ || ended_ || !items_.empty(); });
        if (cancelled_ || items_.empty()) return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return item;
    }

    // No more items will come: pop() returns what is left, then nothing.
    void end() {
        std::lock_guard lock(mutex_);
        ended_ = true;
        notEmpty_.notify_all();
    }

    // Drops the items (outside the lock: their destructors may take time) and wakes everyone.
    void cancel() {
        std::deque<T> dropped;
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
            dropped.swap(items_);
            notEmpty_.notify_all();
            notFull_.notify_all();
        }
    }

  private:
    std::mutex mutex_;
    std::condition_variable notEmpty_;
    std::condition_variable notFull_;
    std::deque<T> items_;
    const std::size_t capacity_;
    bool ended_ = false;
    bool cancelled_ = false;
};

}  // namespace marlune
