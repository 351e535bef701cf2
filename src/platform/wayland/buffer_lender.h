#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace marlune::wayland {

// The buffers of a stream lent out to readers on other threads, so that a picture reaches the
// movie without a copy. A lent buffer stays out of the producer's hands until its last lease
// ends; the memory a lease keeps alive (the buffer's mapping) outlives the buffer, and the stream,
// when they go first.
//
// Threads: lend, mayGoBack, lentCount, takeReturned and forget are the stream's (its loop held);
// leases end on any thread, and close() comes from whoever destroys the stream. `wake` runs where
// a lease ends (the lender's lock held: it must only signal the stream's loop).
class BufferLender {
  public:
    static std::shared_ptr<BufferLender> make(std::function<void()> wake);

    // A lease on buffer `id` (`buffer` is given back through takeReturned once every lease on it
    // has ended), keeping `keepAlive` alive as long as it lives.
    std::shared_ptr<const void> lend(std::uint64_t id, void* buffer,
                                     std::shared_ptr<const void> keepAlive);
    // The stream lets go of buffer `id`: true when it may go back to the producer now, false
    // while a lease on it lives or it waits to be taken by takeReturned (it comes back there).
    bool mayGoBack(std::uint64_t id) const;
    // The buffers lent out now.
    std::size_t lentCount() const;
    // The buffers whose last lease ended since the last call, in that order.
    std::vector<void*> takeReturned();
    // The stream let buffer `id` go: it is given back to no one.
    void forget(std::uint64_t id);
    // No more wakes: the stream is going.
    void close();

  private:
    explicit BufferLender(std::function<void()> wake) : wake_(std::move(wake)) {}
    void giveBack(std::uint64_t id);

    struct Lent {
        void* buffer = nullptr;
        int leases = 0;
    };
    mutable std::mutex mutex_;
    std::function<void()> wake_;  // empty once closed
    std::unordered_map<std::uint64_t, Lent> lent_;
    std::vector<std::pair<std::uint64_t, void*>> returned_;
    std::weak_ptr<BufferLender> self_;
};

}  // namespace marlune::wayland
