#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/match/identifier.h"
#include "server/monitor/window_hit.h"

namespace melodex::server {

// Identifies windows on a fixed set of threads while the caller reads on; the answers come
// back in the order the windows went in. The threads live as long as the queue, so each keeps
// its matcher's buffers from window to window.
class WindowQueue {
public:
    WindowQueue(const Identifier& identifier, int threads);
    ~WindowQueue();
    WindowQueue(const WindowQueue&) = delete;
    WindowQueue& operator=(const WindowQueue&) = delete;

    void submit(double seconds, std::vector<float> samples);
    size_t size() const;
    // The oldest window's answer: false when there is none, or (unless `wait`) when it is not
    // ready yet. `error` is set when a store failed on it.
    bool next(bool wait, WindowHit& hit, std::string& error);

private:
    struct Job {
        std::vector<float> samples;
        WindowHit hit;
        std::string error;
        bool done = false;
    };
    void work();

    const Identifier& identifier_;
    mutable std::mutex mutex_;
    std::condition_variable queued_, finished_;
    std::deque<std::unique_ptr<Job>> jobs_;  // in submission order, until taken
    std::deque<Job*> waiting_;                  // not yet started
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace melodex::server
