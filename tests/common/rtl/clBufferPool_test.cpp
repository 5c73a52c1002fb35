#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "rtl/clBufferPool.h"

using namespace cl;

// The point of the pool is that storage stays mapped: buffers given back are
// the next ones taken.
TEST(BufferPool, GivenBackBuffersAreTakenAgain) {
    TclBufferPool pool(4096, 2);
    std::vector<TclPooledBuffer> taken;
    std::set<uint8_t*> first;
    for (int i = 0; i < 3; ++i) {
        taken.push_back(pool.Take());
        first.insert(taken.back().get());
    }
    taken.clear();  // three given back, two kept
    std::vector<TclPooledBuffer> again;
    for (int i = 0; i < 3; ++i) again.push_back(pool.Take());
    EXPECT_EQ(first.count(again[0].get()) + first.count(again[1].get()), 2U);

    TclPooledBuffer moved = std::move(again[0]);
    EXPECT_FALSE(again[0]);
    EXPECT_TRUE(moved);
}
