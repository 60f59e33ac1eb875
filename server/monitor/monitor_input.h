#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/fingerprint/audio_input.h"

namespace melodex::server {

struct ReconnectOptions {
    double timeoutSeconds = 10;   // a live input silent this long has dropped (also while connecting)
    double firstDelay = 1;        // the wait before the first reconnection, doubled after each failure
    double maxDelay = 60;
    double giveUpSeconds = 3600;  // a live input away this long is given up
};

// The monitor's input. A file or a pipe is read once to its end; a live stream or device that
// drops is reopened with back-off, and the caller told how long it was away.
class MonitorInput {
public:
    using Log = std::function<void(const std::string&)>;
    MonitorInput(std::string input, ReconnectOptions options, Log log)
        : name_(std::move(input)), options_(options), log_(std::move(log)) {}

    // The first connection: a failure here is final.
    bool open(std::string& error);
    // Appends samples to `out`. `gapSeconds` is how long a live input was away before them (0
    // when it was not).
    ReadResult read(std::vector<float>& out, double& gapSeconds, std::string& error);
    bool live() const { return isLive(inputKind(name_)); }
    double durationSeconds() const { return input_ ? input_->durationSeconds() : 0.0; }

private:
    bool reconnect(const std::string& reason, double& gapSeconds, std::string& error);

    std::string name_;
    ReconnectOptions options_;
    Log log_;
    std::unique_ptr<AudioInput> input_;
};

}  // namespace melodex::server
