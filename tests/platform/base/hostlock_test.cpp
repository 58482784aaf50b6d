// The platform's per-thread shard numbers: threads alive at once never share
// one, and the number of a thread that ended goes to the next thread, so a
// long run of short-lived threads cannot pile two live ones onto one shard.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/hostlock.h"

namespace {

TEST(ThreadIndex, LiveThreadsHaveTheirOwnAndEndedThreadsHandTheirsOn)
{
    const unsigned mine = plat::ThreadIndex();
    EXPECT_EQ(plat::ThreadIndex(), mine);

    // Eight threads alive at once: eight numbers, none of them ours.
    std::mutex lock;
    std::condition_variable allIn;
    std::set<unsigned> seen;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            std::unique_lock<std::mutex> guard(lock);
            seen.insert(plat::ThreadIndex());
            allIn.notify_all();
            allIn.wait(guard, [&] { return seen.size() == 8 || seen.count(mine) != 0; });
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(seen.size(), 8u);
    EXPECT_EQ(seen.count(mine), 0u);

    // One after another, many threads get the same few numbers back.
    std::set<unsigned> sequential;
    for (int i = 0; i < 100; ++i) {
        std::thread([&] { sequential.insert(plat::ThreadIndex()); }).join();
    }
    EXPECT_LE(sequential.size(), 2u);
    EXPECT_LT(*std::max_element(sequential.begin(), sequential.end()), 16u);
}

}  // namespace
