#include "bench/server/corpus.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <mutex>
#include <thread>

#include "server/fingerprint/audio_decoder.h"
#include "server/ingest/file_scanner.h"

namespace melodex::bench {

namespace {

std::string cacheName(const std::string& cacheDir, const std::string& file) {
    return cacheDir + "/" + std::to_string(std::hash<std::string>{}(file)) + ".f32";
}

bool readCached(const std::string& cacheDir, const std::string& file, std::vector<float>& samples) {
    if (cacheDir.empty()) return false;
    std::ifstream in(cacheName(cacheDir, file), std::ios::binary | std::ios::ate);
    if (!in) return false;
    samples.resize(static_cast<size_t>(in.tellg()) / sizeof(float));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(samples.size() * sizeof(float)));
    return static_cast<bool>(in) && !samples.empty();
}

void writeCached(const std::string& cacheDir, const std::string& file, const std::vector<float>& samples) {
    if (cacheDir.empty()) return;
    std::filesystem::create_directories(cacheDir);
    std::ofstream(cacheName(cacheDir, file), std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * sizeof(float)));
}

}  // namespace

std::vector<Track> loadCorpus(const std::string& dir, int threads, double& decodeSeconds, const std::string& cacheDir) {
    std::vector<std::string> problems;
    const std::vector<std::string> files = server::findAudioFiles({dir}, problems);
    for (const std::string& p : problems) std::fprintf(stderr, "%s\n", p.c_str());
    std::vector<Track> tracks(files.size());
    std::atomic<size_t> next{0};
    std::mutex mutex;
    decodeSeconds = 0;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (size_t i; (i = next.fetch_add(1)) < files.size();) {
                const auto start = std::chrono::steady_clock::now();
                std::string error;
                tracks[i].path = files[i];
                if (readCached(cacheDir, files[i], tracks[i].samples)) continue;
                if (server::decodeAudioFile(files[i], tracks[i].samples, error)) {
                    writeCached(cacheDir, files[i], tracks[i].samples);
                } else {
                    std::lock_guard<std::mutex> lock(mutex);
                    std::fprintf(stderr, "skipping %s: %s\n", files[i].c_str(), error.c_str());
                    tracks[i].samples.clear();
                }
                std::lock_guard<std::mutex> lock(mutex);
                decodeSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            }
        });
    }
    for (std::thread& w : workers) w.join();
    tracks.erase(std::remove_if(tracks.begin(), tracks.end(), [](const Track& t) { return t.samples.empty(); }), tracks.end());
    return tracks;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t i = std::min(values.size() - 1, static_cast<size_t>(p / 100.0 * (values.size() - 1) + 0.5));
    return values[i];
}

long residentBytes(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == field) {
            long kb = 0;
            in >> kb;
            return kb * 1024;
        }
        std::getline(in, key);
    }
    return 0;
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace melodex::bench
