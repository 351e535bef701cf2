#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace marlune {

// A bounded pool of costly items (picture buffers, shared-memory segments) that come back when
// their last holder lets go, so that a stream of pictures keeps a flat memory footprint.
//
// `take` runs on the owner's thread; items are given back from any thread. An item given back
// after the recycler is gone is destroyed by the last holder, on its thread, so an item's
// destructor must be safe anywhere (resources that need the owner's thread are released by the
// owner through `discard` while it lives).
template <class T>
class Recycler : public std::enable_shared_from_this<Recycler<T>> {
  public:
    // Always owned by a shared_ptr: items refer back to it weakly.
    static std::shared_ptr<Recycler> make(std::size_t capacity) {
        return std::shared_ptr<Recycler>(new Recycler(capacity));
    }

    // A free item that `fits`, else a new one from `make` while fewer than the capacity are out
    // or free, else nothing (every item is in use). Free items that do not fit are handed to
    // `discard` (on this thread) to make room. `make` may fail by returning null.
    std::shared_ptr<T> take(const std::function<bool(const T&)>& fits,
                            const std::function<std::unique_ptr<T>()>& make,
                            const std::function<void(std::unique_ptr<T>)>& discard = {}) {
        std::unique_ptr<T> item;
        std::vector<std::unique_ptr<T>> unfit;
        bool mayMake = false;
        {
            std::lock_guard lock(mutex_);
            while (!free_.empty() && !item) {
                std::unique_ptr<T> candidate = std::move(free_.back());
                free_.pop_back();
                if (fits(*candidate)) {
                    item = std::move(candidate);
                } else {
                    unfit.push_back(std::move(candidate));
                    --count_;
                }
            }
            if (!item && count_ < capacity_) {
                ++count_;  // a place for the new one
                mayMake = true;
            }
        }
        for (auto& u : unfit) {
            if (discard) discard(std::move(u));
        }
        if (!item && mayMake) {
            item = make();
            if (!item) {
                std::lock_guard lock(mutex_);
                --count_;
            }
        }
        return item ? wrap(std::move(item)) : nullptr;
    }

    // Items in existence that belong to the pool (in use or free).
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    std::size_t capacity() const { return capacity_; }

    // Destroys the free items now (through `discard` when given), on the owner's thread.
    void drain(const std::function<void(std::unique_ptr<T>)>& discard = {}) {
        std::vector<std::unique_ptr<T>> items;
        {
            std::lock_guard lock(mutex_);
            items.swap(free_);
            count_ -= items.size();
        }
        for (auto& i : items) {
            if (discard) discard(std::move(i));
        }
    }

  private:
    explicit Recycler(std::size_t capacity) : capacity_(capacity) {}

    std::shared_ptr<T> wrap(std::unique_ptr<T> item) {
        std::weak_ptr<Recycler> weak = this->shared_from_this();
        T* raw = item.release();
        return std::shared_ptr<T>(raw, [weak](T* p) {
            std::unique_ptr<T> back(p);
            if (auto self = weak.lock()) {
                std::lock_guard lock(self->mutex_);
                self->free_.push_back(std::move(back));
            }
        });
    }

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<T>> free_;
    std::size_t count_ = 0;  // in use + free
};

}  // namespace marlune
