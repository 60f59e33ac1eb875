// The constant 4096-byte front of every recording body, byte for byte.
#include <gtest/gtest.h>

#include <cstring>

#include "audio/wav_header.h"

namespace {

std::uint32_t Little(std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value |= static_cast<std::uint32_t>(WAV_HEADER_TEMPLATE[at + i]) << (8 * i);
  return value;
}

bool TextAt(std::size_t at, const char* word) { return std::memcmp(&WAV_HEADER_TEMPLATE[at], word, 4) == 0; }

TEST(WavHeader, HoldsTheFixedChunksWithTheirQuirks) {
  ASSERT_EQ(WAV_HEADER_TEMPLATE.size(), 4096u);
  EXPECT_TRUE(TextAt(0, "RIFF"));
  // 180088, most significant byte first.
  EXPECT_EQ(WAV_HEADER_TEMPLATE[4], 0x00);
  EXPECT_EQ(WAV_HEADER_TEMPLATE[5], 0x02);
  EXPECT_EQ(WAV_HEADER_TEMPLATE[6], 0xBF);
  EXPECT_EQ(WAV_HEADER_TEMPLATE[7], 0x78);
  EXPECT_TRUE(TextAt(8, "WAVE"));
  EXPECT_TRUE(TextAt(12, "fmt "));
  EXPECT_EQ(Little(16, 4), 16u);
  EXPECT_EQ(Little(20, 2), 1u);
  EXPECT_EQ(Little(22, 2), 1u);
  EXPECT_EQ(Little(24, 4), 8000u);
  EXPECT_EQ(Little(28, 4), 16000u);
  EXPECT_EQ(Little(32, 2), 2u);
  EXPECT_EQ(WAV_HEADER_TEMPLATE[34], 0x01);
  EXPECT_EQ(WAV_HEADER_TEMPLATE[35], 0x00);
  EXPECT_TRUE(TextAt(36, "PAD "));
  EXPECT_EQ(WAV_HEADER_TEMPLATE[40], 0xCC);
  EXPECT_EQ(WAV_HEADER_TEMPLATE[41], 0x0F);
  EXPECT_EQ(Little(40, 4), 4044u);
  for (std::size_t i = 44; i < 4088; ++i) ASSERT_EQ(WAV_HEADER_TEMPLATE[i], 0) << "padding byte " << i;
  EXPECT_TRUE(TextAt(4088, "data"));
  EXPECT_EQ(Little(4092, 4), 0u);
}

}  // namespace
