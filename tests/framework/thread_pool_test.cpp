// The host thread pool and lock, meant to run under ThreadSanitizer too.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "framework/HxCriticalSectionH.h"
#include "framework/HxThreadPool.h"

namespace {

struct Counter {
    std::atomic<int> done{0};
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
};

void* countItem(void* argument) {
    auto* counter = static_cast<Counter*>(argument);
    int now = ++counter->running;
    int seen = counter->peak.load();
    while (now > seen && !counter->peak.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    --counter->running;
    ++counter->done;
    return nullptr;
}

TEST(HxThreadPool, RunsEveryItemAndNeverMoreThanTheThreadCountAtOnce) {
    Counter counter;
    HxThreadPool pool;
    pool.initThreadPool(4294967295UL, 1, 3, 1);
    for (int i = 0; i < 3000; ++i) pool.doWork(countItem, &counter);
    EXPECT_TRUE(pool.waitForAllThreads(true, true, true, -1));
    EXPECT_EQ(counter.done.load(), 3000);
    EXPECT_LE(counter.peak.load(), 3);
    EXPECT_GE(counter.peak.load(), 1);
}

struct Tree {
    HxThreadPool* pool;
    std::atomic<int> visited{0};
    HxCriticalSectionH lock;
    long sum = 0; // guarded by lock
};

struct Node {
    Tree* tree;
    int depth;
};

// Every node queues two children until depth 10: 2047 items in all, most of
// them queued by running items after waitForAllThreads has begun.
void* visit(void* argument) {
    std::unique_ptr<Node> node(static_cast<Node*>(argument));
    Tree* tree = node->tree;
    tree->lock.enter(true);
    tree->sum += node->depth;
    tree->lock.leave();
    ++tree->visited;
    if (node->depth < 10) {
        tree->pool->doWork(visit, new Node{tree, node->depth + 1});
        tree->pool->doWork(visit, new Node{tree, node->depth + 1});
    }
    return nullptr;
}

TEST(HxThreadPool, WaitsForItemsQueuedByRunningItems) {
    HxThreadPool pool;
    Tree tree;
    tree.pool = &pool;
    pool.initThreadPool(4294967295UL, 1, 4, 1);
    pool.doWork(visit, new Node{&tree, 0});
    pool.waitForAllThreads(true, true, true, -1);
    EXPECT_EQ(tree.visited.load(), 2047);
    long expected = 0;
    for (int depth = 0; depth <= 10; ++depth) expected += depth * (1L << depth);
    HxLockGuard guard(&tree.lock);
    EXPECT_EQ(tree.sum, expected);
}

TEST(HxThreadPool, WaitWithTimeLimitReportsUnfinishedWork) {
    HxThreadPool pool;
    pool.initThreadPool(1, 1, 1, 1);
    std::atomic<bool> release{false};
    auto blocker = [](void* argument) -> void* {
        auto* flag = static_cast<std::atomic<bool>*>(argument);
        while (!flag->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return nullptr;
    };
    pool.doWork(blocker, &release);
    EXPECT_FALSE(pool.waitForAllThreads(true, true, true, 20));
    release = true;
    EXPECT_TRUE(pool.waitForAllThreads(true, true, true, -1));
}

TEST(HxCriticalSectionH, TryEnterFailsWhileHeld) {
    HxCriticalSectionH lock;
    ASSERT_TRUE(lock.enter(true));
    std::thread other([&] { EXPECT_FALSE(lock.enter(false)); });
    other.join();
    lock.leave();
    EXPECT_TRUE(lock.enter(false));
    lock.leave();
}

} // namespace
