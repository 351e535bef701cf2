// Pictures lent out of a stream's buffers: a buffer goes back to the producer exactly once, only
// after its last lease and never while the stream still holds it; the memory stays alive as long
// as a lease does, also once the stream has let the buffer go or is gone.

#include <gtest/gtest.h>

#include "platform/wayland/buffer_lender.h"

namespace marlune::wayland {
namespace {

TEST(BufferLender, ABufferComesBackOnceAfterItsLastLease) {
    int wakes = 0;
    auto lender = BufferLender::make([&] { ++wakes; });
    int a = 0, b = 0;
    auto memory = std::make_shared<int>(7);
    std::weak_ptr<int> watch = memory;

    auto first = lender->lend(1, &a, memory);
    auto second = lender->lend(1, &a, memory);
    auto other = lender->lend(2, &b, std::make_shared<int>(0));
    memory.reset();
    EXPECT_EQ(lender->lentCount(), 2u);
    EXPECT_FALSE(lender->mayGoBack(1));
    first.reset();
    EXPECT_EQ(wakes, 0) << "a lease is still out";
    EXPECT_FALSE(watch.expired());
    second.reset();
    EXPECT_EQ(wakes, 1);
    EXPECT_TRUE(watch.expired()) << "the memory goes with the last lease";
    // Waiting to be taken, the buffer is not the stream's to give back itself.
    EXPECT_FALSE(lender->mayGoBack(1));
    EXPECT_EQ(lender->takeReturned(), std::vector<void*>{&a});
    EXPECT_TRUE(lender->takeReturned().empty());
    EXPECT_TRUE(lender->mayGoBack(1));

    // A buffer the stream let go (removed, or the stream is going) comes back to no one, and
    // its memory is still freed with its lease.
    lender->forget(2);
    other.reset();
    EXPECT_TRUE(lender->takeReturned().empty());
    auto late = lender->lend(3, &b, std::make_shared<int>(0));
    lender->close();
    late.reset();
    EXPECT_EQ(wakes, 1) << "no wake once closed";
    EXPECT_EQ(lender->takeReturned(), std::vector<void*>{&b});

    // A lease outliving the lender still frees what it keeps.
    auto kept = std::make_shared<int>(1);
    std::weak_ptr<int> keptWatch = kept;
    auto orphan = lender->lend(4, &a, std::move(kept));
    lender.reset();
    orphan.reset();
    EXPECT_TRUE(keptWatch.expired());
}

}  // namespace
}  // namespace marlune::wayland
