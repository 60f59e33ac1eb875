#pragma once

#include <cstdint>
#include <vector>

namespace melodex::server::test {

// A JPEG or PNG of the given size filled with a gradient.
std::vector<uint8_t> makeJpeg(int width, int height);
std::vector<uint8_t> makePng(int width, int height);
// Width and height of a JPEG, {0, 0} when it cannot be read.
std::pair<int, int> jpegSize(const std::vector<uint8_t>& jpeg);

}  // namespace melodex::server::test
