#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace melodex::server {

// A fixed set of threads for CPU-bound work, fed by a bounded first-come-first-served queue.
// Work that would wait longer than `maxWaitSeconds` (judged from the recent job times) is
// refused at once, so that an overloaded service says so instead of letting clients time out.
class WorkPool {
public:
    // `niceness` > 0 lowers the threads' scheduling priority by that much.
    WorkPool(int threads, size_t maxQueued, double maxWaitSeconds, int niceness = 0);
    ~WorkPool();
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    // False when the job would wait too long; `retryAfterSeconds` then says when to come back.
    bool trySubmit(std::function<void()> job, int& retryAfterSeconds);
    // The same judgement without submitting: lets a request be refused before its body is read.
    bool wouldAccept(int& retryAfterSeconds) const;
    // Runs no further jobs (queued ones are dropped) and joins the threads.
    void stop();

private:
    bool acceptsLocked(int& retryAfterSeconds) const;
    void work(int niceness);

    const size_t maxQueued_;
    const double maxWaitSeconds_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    double averageJobSeconds_ = 0.05;  // until measured
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace melodex::server
