#include "framework/HxThreadPool.h"

#include <chrono>

HxThreadPool::~HxThreadPool() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    workAvailable_.notify_all();
    for (auto& thread : threads_) thread.join();
}

bool HxThreadPool::initThreadPool(unsigned long, unsigned long, unsigned long threads, int) {
    if (!threads_.empty()) return true;
    if (threads == 0) threads = 1;
    threads_.reserve(threads);
    for (unsigned long i = 0; i < threads; ++i) threads_.emplace_back([this] { workerLoop(); });
    return true;
}

void HxThreadPool::doWork(Entry entry, void* argument) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        queue_.emplace_back(entry, argument);
        ++unfinished_;
    }
    workAvailable_.notify_one();
}

bool HxThreadPool::waitForAllThreads(bool, bool, bool, long timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto idle = [this] { return unfinished_ == 0; };
    if (timeoutMs < 0) {
        allDone_.wait(lock, idle);
        return true;
    }
    return allDone_.wait_for(lock, std::chrono::milliseconds(timeoutMs), idle);
}

void HxThreadPool::workerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        workAvailable_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return; // stopping and nothing left
        auto item = queue_.front();
        queue_.pop_front();
        lock.unlock();
        item.first(item.second);
        lock.lock();
        if (--unfinished_ == 0) allDone_.notify_all();
    }
}
