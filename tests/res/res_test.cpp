// The compiled-in resources as the screens and the sound output expect them,
// and the string-table format with its damaged lines and bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <map>
#include <string>

#include "platform/system/resources.h"
#include "res/string_table.h"

namespace {

std::uint32_t Le(const unsigned char* p, int bytes) {
  std::uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

std::wstring Load(UINT id, int bufferMax = 1024) {
  std::wstring buffer(static_cast<std::size_t>(bufferMax), L'#');
  const int length = LoadStringW(nullptr, id, buffer.data(), bufferMax);
  EXPECT_EQ(std::wcslen(buffer.c_str()), static_cast<std::size_t>(length)) << "terminated after what it counts";
  return buffer.substr(0, static_cast<std::size_t>(length));
}

// Pictures are GIFs of their laid-out size, sounds short mono PCM at 8000 Hz;
// strings load truncated to the buffer and always terminated.
TEST(Resources, PicturesSoundsAndStringsAreAsTheScreensExpectThem) {
  const int gifs[][3] = {
      {110, 232, 212}, {113, 320, 43},  {139, 320, 43},  {144, 320, 43}, {145, 320, 43}, {114, 163, 29},
      {115, 163, 29},  {116, 163, 29},  {117, 163, 29},  {171, 163, 29}, {172, 163, 29}, {173, 163, 29},
      {174, 163, 29},  {118, 206, 108}, {176, 160, 30},  {178, 160, 30}, {120, 240, 49}, {122, 240, 49},
      {175, 82, 16},   {177, 67, 24},   {124, 184, 103}, {127, 60, 50},  {130, 24, 15},  {128, 86, 19},
      {129, 86, 19},   {131, 86, 19},   {132, 86, 19},   {133, 86, 19},  {134, 86, 19},  {135, 86, 19},
      {136, 86, 19},   {137, 86, 19},   {138, 86, 19},   {142, 96, 74},  {143, 142, 26}, {125, 208, 114},
      {161, 30, 12},   {162, 48, 12},   {163, 52, 15},   {164, 40, 12},  {165, 58, 12},  {166, 24, 12}};
  for (const auto& [id, width, height] : gifs) {
    const ResourceBytes gif = FindResourceBytes(ResourceType::Gif, id);
    ASSERT_GT(gif.size, 13u) << id;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(gif.data), 4), "GIF8") << id;
    EXPECT_EQ(Le(gif.data + 6, 2) * 1000 + Le(gif.data + 8, 2), static_cast<std::uint32_t>(width * 1000 + height)) << id;
    EXPECT_EQ(gif.data[gif.size - 1], 0x3B) << id << ": GIF trailer";
  }
  for (const auto& [type, id] : {std::pair(ResourceType::Gif, -1), std::pair(ResourceType::Gif, 112),
                                 std::pair(ResourceType::Gif, 159), std::pair(ResourceType::Wave, 113),
                                 std::pair(ResourceType::Icon, 110), std::pair(ResourceType::Wave, 1000000)})
    EXPECT_EQ(FindResourceBytes(type, id).data, nullptr) << id;
  const ResourceBytes icon = FindResourceBytes(ResourceType::Icon, 101);
  ASSERT_GT(icon.size, 24u);
  EXPECT_EQ(std::memcmp(icon.data, "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x40\0\0\0\x40", 24), 0) << "a 64 x 64 PNG";

  for (const int id : {159, 160}) {
    const ResourceBytes wave = FindResourceBytes(ResourceType::Wave, id);
    ASSERT_GE(wave.size, 44u) << id;
    const unsigned char* p = wave.data;
    EXPECT_TRUE(std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "WAVEfmt ", 8) == 0) << id;
    EXPECT_EQ(Le(p + 4, 4), wave.size - 8) << id;
    EXPECT_EQ(std::vector<std::uint32_t>({Le(p + 20, 2), Le(p + 22, 2), Le(p + 24, 4), Le(p + 34, 2)}),
              std::vector<std::uint32_t>({1, 1, 8000, 16})) << id << ": PCM, mono, 8000 Hz, 16 bits";
    const std::size_t data = 20 + Le(p + 16, 4);
    ASSERT_LE(data + 8, wave.size);
    EXPECT_EQ(std::memcmp(p + data, "data", 4), 0) << id;
    EXPECT_LE(data + 8 + Le(p + data + 4, 4), wave.size) << id;
    EXPECT_NEAR(Le(p + data + 4, 4) / 16000.0, 1.0, 0.5) << id << ": seconds";
  }

  EXPECT_EQ(Load(1), L"Melodex");
  EXPECT_EQ(Load(2), L"MELODEX");
  for (const UINT help : {3u, 4u}) EXPECT_GT(Load(help).size(), 250u) << "help page " << help;
  const std::wstring subscription = Load(5, 512);
  EXPECT_NE(subscription.find(L"http"), std::wstring::npos) << "it names a cancellation address";
  EXPECT_LE(subscription.size(), 511u) << "the help page loads at most 511 characters";
  EXPECT_EQ(Load(1, 5), L"Melo");
  EXPECT_EQ(Load(1, 8), L"Melodex");
  EXPECT_EQ(Load(1, 1), L"");
  for (const UINT id : {0u, 6u, 101u, 159u, 4294967295u}) EXPECT_EQ(Load(id, 4), L"") << id;
  wchar_t buffer[5];
  EXPECT_EQ(LoadStringW(nullptr, 2, buffer, 0), 0);
  EXPECT_EQ(LoadStringW(nullptr, 2, nullptr, 5), 0);
}

TEST(StringTableFormat, IdsEscapesLineEndingsAndDamagedInput) {
  using Table = std::map<UINT, std::wstring>;
  const std::pair<std::string, Table> cases[] = {
      {"# comment\n\n1\tplain text\n7\tline one\\r\\nline two\\tend\\\\\n12\tkeeps \\q and a trailing backslash\\\n"
       "999999999\tlargest id\n",
       {{1, L"plain text"}, {7, L"line one\r\nline two\tend\\"}, {12, L"keeps \\q and a trailing backslash\\"},
        {999999999, L"largest id"}}},
      {"1\tfirst\r\n2\t\r\n3\tlast", {{1, L"first"}, {2, L""}, {3, L"last"}}},
      {"1\tcaf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5\n", {{1, L"caf\u00E9 \u20AC \U0001F3B5"}}},
      // A byte that starts no sequence, an overlong slash, a UTF-16 surrogate,
      // sequences cut by the end of the line and of the file, and by a plain byte.
      {"1\ta\xFF" "b\n2\t\xC0\xAF\n3\t\xED\xBF\xBF\n4\t\xE2\x82\n5\tend\xF0\x9F\n6\t\xC3(x",
       {{1, L"a\uFFFDb"}, {2, L"\uFFFD\uFFFD"}, {3, L"\uFFFD\uFFFD\uFFFD"}, {4, L"\uFFFD\uFFFD"},
        {5, L"end\uFFFD\uFFFD"}, {6, L"\uFFFD(x"}}},
      // Malformed lines are skipped; a later line for the same id wins.
      {"no tab here\n\tno id\nx1\tletters\n-3\tnegative\n1234567890\tid too long\n4\tgood\n4\tbetter\n5 \tspace\n",
       {{4, L"better"}}},
      {"", {}},
      {"\n\r\n#only a comment", {}},
      {std::string("\0\0\0", 3), {}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseStringTable(text), expected) << text;
}

}  // namespace
