#include "platform/wayland/buffer_lender.h"

#include <algorithm>

namespace marlune::wayland {

std::shared_ptr<BufferLender> BufferLender::make(std::function<void()> wake) {
    std::shared_ptr<BufferLender> lender(new BufferLender(std::move(wake)));
    lender->self_ = lender;
    return lender;
}

std::shared_ptr<const void> BufferLender::lend(std::uint64_t id, void* buffer,
                                               std::shared_ptr<const void> keepAlive) {
    {
        std::lock_guard lock(mutex_);
        Lent& entry = lent_[id];
        entry.buffer = buffer;
        ++entry.leases;
    }
    // The lease points at what it keeps alive; ending it gives the buffer back (if the lender is
    // still there to take it).
    const void* at = keepAlive.get();
    return std::shared_ptr<const void>(
        at, [weak = self_, id, keepAlive = std::move(keepAlive)](const void*) mutable {
            if (auto lender = weak.lock()) lender->giveBack(id);
            keepAlive.reset();
        });
}

void BufferLender::giveBack(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    auto it = lent_.find(id);
    if (it == lent_.end() || --it->second.leases > 0) return;
    returned_.emplace_back(id, it->second.buffer);
    lent_.erase(it);
    if (wake_) wake_();
}

bool BufferLender::mayGoBack(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    return !lent_.contains(id) && std::none_of(returned_.begin(), returned_.end(),
                                               [id](const auto& r) { return r.first == id; });
}

std::size_t BufferLender::lentCount() const {
    std::lock_guard lock(mutex_);
    return lent_.size();
}

std::vector<void*> BufferLender::takeReturned() {
    std::vector<std::pair<std::uint64_t, void*>> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(returned_);
    }
    std::vector<void*> buffers;
    buffers.reserve(taken.size());
    for (auto& [id, buffer] : taken) buffers.push_back(buffer);
    return buffers;
}

void BufferLender::forget(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    lent_.erase(id);
    std::erase_if(returned_, [id](const auto& r) { return r.first == id; });
}

void BufferLender::close() {
    std::lock_guard lock(mutex_);
    wake_ = nullptr;
}

}  // namespace marlune::wayland
