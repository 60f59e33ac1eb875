#pragma once

#include <string>
#include <vector>

namespace melodex::bench {

struct Track {
    std::string path;
    std::vector<float> samples;  // 8 kHz mono
};

// Decodes every audio file under `dir` on `threads` threads; files that fail are reported and left
// out. With a `cacheDir`, decoded samples are kept there and reused by later runs (decoding time
// then only counts files decoded in this run).
std::vector<Track> loadCorpus(const std::string& dir, int threads, double& decodeSeconds, const std::string& cacheDir = {});

double percentile(std::vector<double> values, double p);
// Resident memory of this process in bytes (VmRSS).
long residentBytes();
// CPU time of the calling thread: on a shared machine a fairer measure of the work than wall time.
double threadCpuSeconds();

}  // namespace melodex::bench
