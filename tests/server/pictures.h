#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace melodex::server::test {

// A JPEG or PNG of the given size filled with a gradient; the size of a JPEG ({0, 0}: unreadable).
std::vector<uint8_t> makeJpeg(int width, int height);
std::vector<uint8_t> makePng(int width, int height);
std::pair<int, int> jpegSize(const std::string& jpeg);

}  // namespace melodex::server::test
