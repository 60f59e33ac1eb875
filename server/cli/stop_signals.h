#pragma once

#include <functional>
#include <thread>

namespace melodex::server {

// Waits for SIGINT or SIGTERM on a thread of its own and hands the signal on. The signals are
// caught by a handler rather than blocked and waited for: threads that libraries start before
// main (a BLAS's workers, for one) keep them unblocked, and the kernel may deliver a signal to any
// thread. One at a time per process.
class StopSignals {
public:
    // Calls `onStop(signal)` on the waiting thread when a stop signal arrives; ok() is false when
    // the handler could not be set up.
    explicit StopSignals(std::function<void(int)> onStop);
    // Ends the waiting thread (without calling onStop if no signal came) and restores the
    // signals' default handling.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    bool ok() const { return waiter_.joinable(); }

private:
    int fds_[2] = {-1, -1};
    std::thread waiter_;
};

}  // namespace melodex::server
