#include "server/monitor/window_batch.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "server/fingerprint/pcm_audio.h"

namespace melodex::server {

bool identifyWindows(const Identifier& identifier, const SampleHistory& history, const std::vector<int64_t>& starts,
                     int64_t length, int threads, std::vector<WindowHit>& hits, std::string& error) {
    hits.assign(starts.size(), WindowHit{});
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;
    const auto work = [&] {
        for (size_t i = next++; i < starts.size() && !failed; i = next++) {
            int64_t first = 0;
            const std::vector<float> window = history.slice(starts[i], starts[i] + length, first);
            hits[i].seconds = static_cast<double>(starts[i]) / kFingerprintRate;
            std::string problem;
            if (!identifier.identify(window, hits[i].id, problem)) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (!failed.exchange(true)) error = problem;
            }
        }
    };
    const size_t helpers = std::min(starts.size(), static_cast<size_t>(std::max(1, threads))) - (starts.empty() ? 0 : 1);
    std::vector<std::thread> pool;
    for (size_t t = 0; t < helpers; ++t) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
    return !failed;
}

}  // namespace melodex::server
