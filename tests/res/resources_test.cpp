// The compiled-in resources: every picture the screens load is present at
// the size its screen lays it out for, the sounds are in the format the
// sound output expects, and the string table reads back as written.

#include "platform/system/resources.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>

namespace {

// The pictures the screens draw, with the size each one is laid out for.
struct ExpectedGif {
  int id;
  int width;
  int height;
};

constexpr ExpectedGif kExpectedGifs[] = {
    // splash, title bands
    {110, 232, 212}, {113, 320, 43}, {139, 320, 43}, {144, 320, 43}, {145, 320, 43},
    // main menu items, normal and highlighted
    {114, 163, 29}, {115, 163, 29}, {116, 163, 29}, {117, 163, 29},
    {171, 163, 29}, {172, 163, 29}, {173, 163, 29}, {174, 163, 29},
    // listening and searching
    {118, 206, 108}, {176, 160, 30}, {178, 160, 30}, {120, 240, 49}, {122, 240, 49},
    {175, 82, 16}, {177, 67, 24},
    // result page
    {124, 184, 103}, {127, 60, 50}, {130, 24, 15},
    {128, 86, 19}, {129, 86, 19}, {131, 86, 19}, {132, 86, 19}, {133, 86, 19},
    {134, 86, 19}, {135, 86, 19}, {136, 86, 19}, {137, 86, 19}, {138, 86, 19},
    // SMS page
    {142, 96, 74}, {143, 142, 26},
    // try-again page
    {125, 208, 114},
    // soft-key labels
    {161, 30, 12}, {162, 48, 12}, {163, 52, 15}, {164, 40, 12}, {165, 58, 12}, {166, 24, 12},
};

std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::wstring LoadString(UINT id, int bufferMax = 1024) {
  std::wstring buffer(static_cast<std::size_t>(bufferMax), L'#');
  const int length = LoadStringW(nullptr, id, buffer.data(), bufferMax);
  EXPECT_EQ(std::wcslen(buffer.c_str()), static_cast<std::size_t>(length));
  return buffer.substr(0, static_cast<std::size_t>(length));
}

TEST(GifResources, EveryPictureIsAGifOfItsLaidOutSize) {
  for (const ExpectedGif& gif : kExpectedGifs) {
    SCOPED_TRACE(gif.id);
    const ResourceBytes bytes = FindResourceBytes(ResourceType::Gif, gif.id);
    ASSERT_NE(bytes.data, nullptr);
    ASSERT_GT(bytes.size, 13u);
    EXPECT_TRUE(std::memcmp(bytes.data, "GIF87a", 6) == 0 || std::memcmp(bytes.data, "GIF89a", 6) == 0);
    EXPECT_EQ(Le16(bytes.data + 6), gif.width);
    EXPECT_EQ(Le16(bytes.data + 8), gif.height);
    EXPECT_EQ(bytes.data[bytes.size - 1], 0x3B) << "GIF trailer";
  }
}

TEST(GifResources, UnknownIdsAndWrongTypesFindNothing) {
  for (const auto& [type, id] : {std::pair(ResourceType::Gif, -1), std::pair(ResourceType::Gif, 0),
                                 std::pair(ResourceType::Gif, 112), std::pair(ResourceType::Gif, 159),
                                 std::pair(ResourceType::Wave, 113), std::pair(ResourceType::Icon, 110),
                                 std::pair(ResourceType::Wave, 1000000)}) {
    const ResourceBytes bytes = FindResourceBytes(type, id);
    EXPECT_EQ(bytes.data, nullptr) << id;
    EXPECT_EQ(bytes.size, 0u) << id;
  }
}

TEST(WaveResources, StartAndSendSoundsAreShortMonoPcm) {
  for (const int id : {159, 160}) {
    SCOPED_TRACE(id);
    const ResourceBytes bytes = FindResourceBytes(ResourceType::Wave, id);
    ASSERT_NE(bytes.data, nullptr);
    ASSERT_GE(bytes.size, 44u);
    const unsigned char* p = bytes.data;
    ASSERT_EQ(std::memcmp(p, "RIFF", 4), 0);
    EXPECT_EQ(Le32(p + 4), bytes.size - 8);
    ASSERT_EQ(std::memcmp(p + 8, "WAVE", 4), 0);
    ASSERT_EQ(std::memcmp(p + 12, "fmt ", 4), 0);
    EXPECT_EQ(Le16(p + 20), 1) << "PCM";
    EXPECT_EQ(Le16(p + 22), 1) << "mono";
    EXPECT_EQ(Le32(p + 24), 8000u);
    EXPECT_EQ(Le16(p + 34), 16) << "bits per sample";
    const std::size_t dataChunk = 20 + Le32(p + 16);
    ASSERT_LE(dataChunk + 8, bytes.size);
    ASSERT_EQ(std::memcmp(p + dataChunk, "data", 4), 0);
    const std::uint32_t dataSize = Le32(p + dataChunk + 4);
    EXPECT_LE(dataChunk + 8 + dataSize, bytes.size);
    const double seconds = dataSize / 2 / 8000.0;
    EXPECT_GE(seconds, 0.5);
    EXPECT_LE(seconds, 1.5);
  }
}

TEST(IconResource, AppIconIsAPng) {
  const ResourceBytes bytes = FindResourceBytes(ResourceType::Icon, 101);
  ASSERT_NE(bytes.data, nullptr);
  ASSERT_GT(bytes.size, 24u);
  EXPECT_EQ(std::memcmp(bytes.data, "\x89PNG\r\n\x1a\n", 8), 0);
  const auto be32 = [&](std::size_t at) {
    return (static_cast<std::uint32_t>(bytes.data[at]) << 24) | (bytes.data[at + 1] << 16) |
           (bytes.data[at + 2] << 8) | bytes.data[at + 3];
  };
  EXPECT_EQ(be32(16), 64u);
  EXPECT_EQ(be32(20), 64u);
}

TEST(StringResources, TitleClassNameAndHelpTexts) {
  EXPECT_EQ(LoadString(1), L"Melodex");
  EXPECT_EQ(LoadString(2), L"MELODEX");
  EXPECT_EQ(LoadString(3),
            L"Select ID Song! in the main menu to get started.  You will have a second or two before the "
            L"phone is listening to the music.  Always try to get the phone as close to the music as "
            L"possible.  The cleaner the sound source, the better the chance of finding your song!");
  EXPECT_EQ(LoadString(4),
            L"Once a song is found, if a ringtone, wallpaper, or full-song download is available you'll "
            L"see a link for purchasing the content.  You will also see the ID Picks option if we can "
            L"come up with something else you might like.  Click on the links to go to the store where "
            L"you'll get pricing info for your selection.");
}

TEST(StringResources, SubscriptionTextNamesACancellationAddress) {
  const std::wstring text = LoadString(5, 512);
  ASSERT_FALSE(text.empty());
  EXPECT_LE(text.size(), 511u) << "the help page loads at most 511 characters";
  EXPECT_TRUE(text.find(L"https://") != std::wstring::npos || text.find(L"http://") != std::wstring::npos);
}

TEST(StringResources, TruncatesToTheBufferAndAlwaysTerminates) {
  wchar_t buffer[5];
  std::wmemset(buffer, L'#', 5);
  EXPECT_EQ(LoadStringW(nullptr, 1, buffer, 5), 4);
  EXPECT_STREQ(buffer, L"Melo");

  EXPECT_EQ(LoadStringW(nullptr, 1, buffer, 1), 0);
  EXPECT_EQ(buffer[0], L'\0');

  EXPECT_EQ(LoadStringW(nullptr, 2, buffer, 0), 0);
  EXPECT_EQ(LoadStringW(nullptr, 2, nullptr, 5), 0);

  wchar_t exact[8];
  EXPECT_EQ(LoadStringW(nullptr, 1, exact, 8), 7);
  EXPECT_STREQ(exact, L"Melodex");
}

TEST(StringResources, UnknownIdsGiveAnEmptyString) {
  for (const UINT id : {0u, 6u, 101u, 159u, 4294967295u}) {
    wchar_t buffer[4] = {L'x', L'y', L'z', L'w'};
    EXPECT_EQ(LoadStringW(nullptr, id, buffer, 4), 0) << id;
    EXPECT_EQ(buffer[0], L'\0') << id;
  }
}

}  // namespace
