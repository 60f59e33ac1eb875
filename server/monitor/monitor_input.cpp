#include "server/monitor/monitor_input.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace melodex::server {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

}  // namespace

bool MonitorInput::open(std::string& error) {
    input_ = std::make_unique<AudioInput>();
    return input_->open(name_, options_.timeoutSeconds, error);
}

ReadResult MonitorInput::read(std::vector<float>& out, double& gapSeconds, std::string& error) {
    gapSeconds = 0;
    while (true) {
        const ReadResult result = input_->read(out, error);
        if (result == ReadResult::Audio || !live()) return result;
        // A live input that ends or fails has dropped, also right after a reconnection.
        const std::string reason = result == ReadResult::End ? "the stream ended" : error;
        error.clear();
        double gap = 0;
        if (!reconnect(reason, gap, error)) return ReadResult::Failed;
        gapSeconds += gap;
    }
}

bool MonitorInput::reconnect(const std::string& reason, double& gapSeconds, std::string& error) {
    const Clock::time_point dropped = Clock::now();
    log_(name_ + " dropped (" + reason + "); reconnecting");
    double delay = options_.firstDelay;
    while (true) {
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        std::string problem;
        auto next = std::make_unique<AudioInput>();
        if (next->open(name_, options_.timeoutSeconds, problem)) {
            input_ = std::move(next);
            gapSeconds = secondsSince(dropped);
            return true;
        }
        if (secondsSince(dropped) + delay > options_.giveUpSeconds) {
            error = "gave up reconnecting after " + seconds(secondsSince(dropped)) + ": " + problem;
            return false;
        }
        log_(name_ + ": " + problem + "; next try in " + seconds(std::min(2 * delay, options_.maxDelay)));
        delay = std::min(2 * delay, options_.maxDelay);
    }
}

}  // namespace melodex::server
