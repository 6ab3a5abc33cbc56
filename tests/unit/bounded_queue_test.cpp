// The queue between the index's threads: nothing lost, nothing beyond its
// capacity, and no thread left waiting when either side ends.
#include "common/bounded_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Queue = vt::BoundedQueue<std::unique_ptr<int>>;

TEST(BoundedQueue, EveryItemArrivesOnceInOrderAcrossThreads) {
    Queue q(3);
    constexpr int kItems = 5000;
    std::thread producer([&] {
        for (int i = 0; i < kItems; ++i) EXPECT_TRUE(q.push(std::make_unique<int>(i)));
        q.finish();
    });
    std::vector<int> got;
    std::unique_ptr<int> item;
    while (q.pop(item)) got.push_back(*item);
    producer.join();
    ASSERT_EQ(got.size(), std::size_t(kItems));
    for (int i = 0; i < kItems; ++i) ASSERT_EQ(got[std::size_t(i)], i);
    // Finished and empty: it says so at once, however it is asked.
    EXPECT_FALSE(q.pop(item));
    EXPECT_EQ(q.popFor(item, std::chrono::milliseconds(0)), Queue::Got::Done);
}

TEST(BoundedQueue, ManyProducersAndConsumersLoseNothing) {
    vt::BoundedQueue<int> q(2);
    constexpr int kEach = 2000;
    std::atomic<long> sum{0};
    std::atomic<int> count{0}, producing{3};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int i = 1; i <= kEach; ++i) q.push(t * kEach + i);
            if (--producing == 0) q.finish();
        });
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            int v = 0;
            while (q.pop(v)) {
                sum += v;
                ++count;
            }
        });
    for (auto& t : threads) t.join();
    const long n = 3 * kEach;
    EXPECT_EQ(count.load(), n);
    EXPECT_EQ(sum.load(), n * (n + 1) / 2);
}

TEST(BoundedQueue, AFullQueueHoldsTheProducerUntilAnItemIsTaken) {
    vt::BoundedQueue<int> q(2);
    std::atomic<int> pushed{0};
    std::thread producer([&] {
        for (int i = 0; i < 3; ++i) {
            q.push(i);
            ++pushed;
        }
    });
    while (pushed.load() < 2) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(pushed.load(), 2);  // the third waits for room
    int v = -1;
    ASSERT_TRUE(q.pop(v));
    EXPECT_EQ(v, 0);
    producer.join();
    EXPECT_EQ(pushed.load(), 3);
}

TEST(BoundedQueue, ClosingReleasesAWaitingProducerAndRefusesMore) {
    vt::BoundedQueue<int> q(1);
    ASSERT_TRUE(q.push(1));
    std::atomic<bool> refused{false};
    std::thread producer([&] { refused = !q.push(2); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    q.close();
    producer.join();
    EXPECT_TRUE(refused.load());
    EXPECT_FALSE(q.push(3));
    // What was queued before is still there to take.
    int v = 0;
    EXPECT_EQ(q.popFor(v, std::chrono::milliseconds(0)), vt::BoundedQueue<int>::Got::Item);
    EXPECT_EQ(v, 1);
}

TEST(BoundedQueue, AnEmptyQueueThatGoesOnSaysItWaited) {
    vt::BoundedQueue<int> q(4);
    int v = 0;
    EXPECT_EQ(q.popFor(v, std::chrono::milliseconds(5)), vt::BoundedQueue<int>::Got::Waited);
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        q.push(7);
    });
    EXPECT_TRUE(q.pop(v));  // waits for it
    EXPECT_EQ(v, 7);
    producer.join();
    q.finish();
    EXPECT_EQ(q.popFor(v, std::chrono::seconds(10)), vt::BoundedQueue<int>::Got::Done);
}

}  // namespace
