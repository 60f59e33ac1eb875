#include "server/monitor/window_queue.h"

namespace melodex::server {

WindowQueue::WindowQueue(const Identifier& identifier, int threads) : identifier_(identifier) {
    for (int i = 0; i < std::max(1, threads); ++i) threads_.emplace_back([this] { work(); });
}

WindowQueue::~WindowQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void WindowQueue::submit(double seconds, std::vector<float> samples) {
    auto job = std::make_unique<Job>();
    job->hit.seconds = seconds;
    job->samples = std::move(samples);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.push_back(job.get());
        jobs_.push_back(std::move(job));
    }
    queued_.notify_one();
}

size_t WindowQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_.size();
}

bool WindowQueue::next(bool wait, WindowHit& hit, std::string& error) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (jobs_.empty()) return false;
    if (wait) finished_.wait(lock, [this] { return jobs_.front()->done; });
    if (!jobs_.front()->done) return false;
    hit = jobs_.front()->hit;
    error = jobs_.front()->error;
    jobs_.pop_front();
    return true;
}

void WindowQueue::work() {
    while (true) {
        std::unique_lock<std::mutex> lock(mutex_);
        queued_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) return;
        Job* job = waiting_.front();
        waiting_.pop_front();
        lock.unlock();
        std::string error;
        if (!identifier_.identify(job->samples, job->hit.id, error) && error.empty()) error = "identification failed";
        job->samples = {};
        lock.lock();
        job->error = error;
        job->done = true;
        finished_.notify_all();
    }
}

}  // namespace melodex::server
