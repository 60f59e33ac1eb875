#pragma once

#include <string>
#include <vector>

namespace melodex::server::test {

// Encodes mono samples in [-1, 1] as a FLAC file with FFmpeg; false when encoding fails.
bool writeFlac(const std::string& path, const std::vector<float>& samples, int rate);

}  // namespace melodex::server::test
