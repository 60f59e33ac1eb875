#include "server/http/work_pool.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace melodex::server {

WorkPool::WorkPool(int threads, size_t maxQueued, double maxWaitSeconds, int niceness)
    : maxQueued_(maxQueued), maxWaitSeconds_(maxWaitSeconds) {
    const int count = std::max(threads, 1);
    for (int i = 0; i < count; ++i) threads_.emplace_back([this, niceness] { work(niceness); });
}

WorkPool::~WorkPool() { stop(); }

bool WorkPool::acceptsLocked(int& retryAfterSeconds) const {
    // Everything queued ahead runs spread over all threads.
    const double wait = static_cast<double>(queue_.size()) * averageJobSeconds_ / static_cast<double>(threads_.size());
    retryAfterSeconds = std::max(1, static_cast<int>(std::ceil(wait)));
    return !stopping_ && queue_.size() < maxQueued_ && wait <= maxWaitSeconds_;
}

bool WorkPool::wouldAccept(int& retryAfterSeconds) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acceptsLocked(retryAfterSeconds);
}

bool WorkPool::trySubmit(std::function<void()> job, int& retryAfterSeconds) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!acceptsLocked(retryAfterSeconds)) return false;
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void WorkPool::stop() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        dropped.swap(queue_);
    }
    wake_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
}

void WorkPool::work(int niceness) {
    using Clock = std::chrono::steady_clock;
    // On Linux a thread's nice value is its own.
    if (niceness > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), niceness);
    while (true) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        const auto start = Clock::now();
        job();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::lock_guard<std::mutex> lock(mutex_);
        averageJobSeconds_ = 0.8 * averageJobSeconds_ + 0.2 * seconds;
    }
}

}  // namespace melodex::server
