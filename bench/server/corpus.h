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
// Resident memory of this process in bytes: all of it (VmRSS), or a part, such as the anonymous
// memory (RssAnon) without the pages of mapped files.
long residentBytes(const std::string& field = "VmRSS:");
// CPU time of the calling thread: on a shared machine a fairer measure of the work than wall time.
double threadCpuSeconds();

}  // namespace melodex::bench
