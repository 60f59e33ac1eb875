// Pictures into bitmaps: GIF resources and files, JPEG files, and the bad
// cases (unknown ids; missing, cut, forged and random files).
#include <gtest/gtest.h>

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "platform/system/images.h"
#include "platform/system/resources.h"
#include "platform/gdi/gdi.h"
#include "tests/support/temp_folder.h"

namespace {

class Images : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::wstring write(const char* name, const void* bytes, std::size_t size) const {
    std::ofstream(folder_ / name, std::ios::binary).write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    return (folder_ / name).wstring();
  }
  const std::filesystem::path folder_ = MakeTempFolder("melodex-images");
};

// Width * 1000 + height, or 0 when there is no bitmap.
int Size(HBITMAP bitmap) {
  BITMAP info{};
  return GetObject(bitmap, sizeof info, &info) ? info.bmWidth * 1000 + info.bmHeight : 0;
}

TEST_F(Images, GifResourcesAndFilesDecodeAtTheirSize) {
  EXPECT_EQ(Size(SHLoadImageResource(nullptr, 145)), 320043);
  for (int id : {-1, 0, 4242}) EXPECT_EQ(SHLoadImageResource(nullptr, static_cast<UINT>(id)), nullptr) << id;
  // The soft-key label as a file: the resource's pixels, on the band's colour.
  const ResourceBytes gif = FindResourceBytes(ResourceType::Gif, 161);
  HBITMAP file = SHLoadImageFile(write("161.gif", gif.data, gif.size).c_str());
  ASSERT_EQ(Size(file), 30012);
  EXPECT_EQ(GetBitmapSurface(file)->pixels, GetBitmapSurface(SHLoadImageResource(nullptr, 161))->pixels);
  EXPECT_EQ(GetBitmapSurface(file)->at(0, 0), 0x0077C0u);
  EXPECT_EQ(SHLoadImageFile(write("cut.gif", gif.data, 30).c_str()), nullptr) << "image data cut away";
}

TEST_F(Images, JpegFilesLoadAndBadFilesGiveNoBitmap) {
  SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, 80, 60, 32, SDL_PIXELFORMAT_ARGB8888);
  SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, 255, 128, 0));
  ASSERT_EQ(IMG_SaveJPG(s, (folder_ / "made.jpg").c_str(), 95), 0) << IMG_GetError();
  SDL_FreeSurface(s);
  std::ifstream in(folder_ / "made.jpg", std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(Size(SHLoadImageFile((folder_ / "made.jpg").wstring().c_str())), 80060);

  for (const wchar_t* path : {L"", static_cast<const wchar_t*>(nullptr)}) EXPECT_EQ(SHLoadImageFile(path), nullptr);
  EXPECT_EQ(SHLoadImageFile((folder_ / "absent.jpg").wstring().c_str()), nullptr);
  EXPECT_EQ(SHLoadImageFile(folder_.wstring().c_str()), nullptr) << "a folder is not a picture";
  // Cut at many lengths: no bitmap, or one of the whole size; never a crash.
  for (std::size_t length : {std::size_t{0}, std::size_t{2}, std::size_t{20}, std::size_t{150}, bytes.size() / 2,
                             bytes.size() - 3}) {
    const int size = Size(SHLoadImageFile(write("cut.jpg", bytes.data(), length).c_str()));
    EXPECT_TRUE(size == 0 || size == 80060) << length;
  }
  // A frame header that declares 65535 x 65535 pixels is refused before decoding.
  std::vector<char> forged = bytes;
  for (std::size_t i = 0; i + 8 < forged.size(); ++i) {
    if (static_cast<unsigned char>(forged[i]) != 0xFF || static_cast<unsigned char>(forged[i + 1]) != 0xC0) continue;
    for (std::size_t k = i + 5; k < i + 9; ++k) forged[k] = static_cast<char>(0xFF);
    break;
  }
  EXPECT_EQ(SHLoadImageFile(write("huge.jpg", forged.data(), forged.size()).c_str()), nullptr);
  std::mt19937 random(7);
  std::vector<char> noise(4096);
  for (char& c : noise) c = static_cast<char>(random());
  noise[0] = static_cast<char>(0xFF), noise[1] = static_cast<char>(0xD8);  // starts like a JPEG
  SHLoadImageFile(write("noise.jpg", noise.data(), noise.size()).c_str());
}

}  // namespace
