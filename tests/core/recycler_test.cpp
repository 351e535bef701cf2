// A bounded pool whose items come back when their last holder lets go.

#include "core/recycler.h"

#include <gtest/gtest.h>

#include <thread>

namespace marlune {
namespace {

struct Item {
    int size;
    int* alive;
    Item(int s, int* a) : size(s), alive(a) { ++*alive; }
    ~Item() { --*alive; }
};

TEST(Recycler, ItemsComeBackAndTheCapacityHolds) {
    int alive = 0;
    int made = 0;
    auto pool = Recycler<Item>::make(2);
    auto make = [&] {
        ++made;
        return std::make_unique<Item>(10, &alive);
    };
    auto fits = [](const Item& i) { return i.size == 10; };
    auto a = pool->take(fits, make);
    auto b = pool->take(fits, make);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(pool->take(fits, make), nullptr) << "every item is out";
    Item* first = a.get();
    a.reset();
    auto c = pool->take(fits, make);
    EXPECT_EQ(c.get(), first) << "the item given back is handed out again";
    EXPECT_EQ(made, 2);
    EXPECT_EQ(alive, 2);
}

TEST(Recycler, UnfitItemsAreDiscardedToMakeRoom) {
    int alive = 0;
    int discarded = 0;
    auto pool = Recycler<Item>::make(1);
    int wanted = 10;
    auto make = [&] { return std::make_unique<Item>(wanted, &alive); };
    auto fits = [&](const Item& i) { return i.size == wanted; };
    auto discard = [&](std::unique_ptr<Item>) { ++discarded; };
    pool->take(fits, make, discard).reset();
    wanted = 20;  // the pictures changed size
    auto big = pool->take(fits, make, discard);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size, 20);
    EXPECT_EQ(discarded, 1);
    EXPECT_EQ(alive, 1);
    EXPECT_EQ(pool->count(), 1u);
}

TEST(Recycler, FailedMakeFreesItsPlace) {
    int alive = 0;
    auto pool = Recycler<Item>::make(1);
    auto fits = [](const Item&) { return true; };
    EXPECT_EQ(pool->take(fits, [] { return std::unique_ptr<Item>(); }), nullptr);
    EXPECT_NE(pool->take(fits, [&] { return std::make_unique<Item>(1, &alive); }), nullptr);
}

TEST(Recycler, ItemsOutliveThePoolAndAreFreedByTheirLastHolder) {
    int alive = 0;
    auto pool = Recycler<Item>::make(3);
    auto held = pool->take([](const Item&) { return true; },
                           [&] { return std::make_unique<Item>(1, &alive); });
    pool.reset();
    EXPECT_EQ(alive, 1);
    std::thread([h = std::move(held)]() mutable { h.reset(); }).join();
    EXPECT_EQ(alive, 0);
}

}  // namespace
}  // namespace marlune
