// Loading pictures into bitmaps: the program's GIF resources, GIF and JPEG
// files, and the bad cases (unknown id, missing, damaged and random files).
#include <gtest/gtest.h>

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "platform/system/images.h"
#include "tests/platform/gdi/canvas.h"

namespace {

// A 3 x 2 GIF with a four-colour palette. The image data is LZW with a
// clear code before every two pixels, so every code stays three bits wide.
std::vector<unsigned char> MakeGif() {
  std::vector<unsigned char> gif = {'G', 'I', 'F', '8', '9', 'a', 3, 0, 2, 0, 0x81, 0, 0,
                                    255, 0,   0,   // 0 red
                                    0,   255, 0,   // 1 green
                                    0,   0,   255, // 2 blue
                                    255, 255, 255, // 3 white
                                    ',', 0, 0, 0, 0, 3, 0, 2, 0, 0, 2};
  const int pixels[] = {0, 1, 2, 3, 2, 1};
  std::vector<int> codes;
  for (int i = 0; i < 6; ++i) {
    if (i % 2 == 0) codes.push_back(4);
    codes.push_back(pixels[i]);
  }
  codes.push_back(5);
  std::vector<unsigned char> data;
  unsigned bits = 0, count = 0;
  for (int code : codes) {
    bits |= static_cast<unsigned>(code) << count;
    count += 3;
    while (count >= 8) {
      data.push_back(static_cast<unsigned char>(bits));
      bits >>= 8;
      count -= 8;
    }
  }
  if (count) data.push_back(static_cast<unsigned char>(bits));
  gif.push_back(static_cast<unsigned char>(data.size()));
  gif.insert(gif.end(), data.begin(), data.end());
  gif.push_back(0);
  gif.push_back(';');
  return gif;
}

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("melodex-images-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::wstring widePath(const char* name) const { return (dir_ / name).wstring(); }

  // An 80 x 60 JPEG: left half blue, right half orange.
  std::filesystem::path writeJpeg(const char* name) const {
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, 80, 60, 32, SDL_PIXELFORMAT_ARGB8888);
    SDL_Rect left{0, 0, 40, 60};
    SDL_Rect right{40, 0, 40, 60};
    SDL_FillRect(s, &left, SDL_MapRGB(s->format, 0, 0, 255));
    SDL_FillRect(s, &right, SDL_MapRGB(s->format, 255, 128, 0));
    const std::filesystem::path path = dir_ / name;
    EXPECT_EQ(IMG_SaveJPG(s, path.c_str(), 95), 0) << IMG_GetError();
    SDL_FreeSurface(s);
    return path;
  }

  std::filesystem::path dir_;
};

bool Near(std::uint32_t pixel, std::uint32_t want) {
  for (int shift : {0, 8, 16}) {
    const int a = (pixel >> shift) & 0xFF;
    const int b = (want >> shift) & 0xFF;
    if (std::abs(a - b) > 24) return false;
  }
  return true;
}

TEST_F(ImageTest, GifResourcesDecodeAtTheirDesignedSize) {
  struct Expected {
    UINT id;
    LONG width;
    LONG height;
  };
  for (const Expected& e : {Expected{161, 30, 12}, Expected{145, 320, 43}, Expected{127, 60, 50}}) {
    HBITMAP bitmap = SHLoadImageResource(nullptr, e.id);
    ASSERT_NE(bitmap, nullptr) << e.id;
    BITMAP info{};
    ASSERT_EQ(GetObject(bitmap, sizeof info, &info), static_cast<int>(sizeof info));
    EXPECT_EQ(info.bmWidth, e.width) << e.id;
    EXPECT_EQ(info.bmHeight, e.height) << e.id;
    EXPECT_TRUE(DeleteObject(bitmap));
  }
  // A soft-key label is drawn on the band's colour.
  HBITMAP back = SHLoadImageResource(nullptr, 161);
  EXPECT_EQ(GetBitmapSurface(back)->at(0, 0), 0x0077C0u);
  DeleteObject(back);
}

TEST_F(ImageTest, UnknownResourceIdsGiveNoBitmap) {
  EXPECT_EQ(SHLoadImageResource(nullptr, static_cast<UINT>(-1)), nullptr);
  EXPECT_EQ(SHLoadImageResource(nullptr, 4242), nullptr);
  EXPECT_EQ(SHLoadImageResource(nullptr, 0), nullptr);
}

TEST_F(ImageTest, GifFileKeepsItsExactPixels) {
  const std::vector<unsigned char> gif = MakeGif();
  std::ofstream(dir_ / "tiny.gif", std::ios::binary)
      .write(reinterpret_cast<const char*>(gif.data()), static_cast<std::streamsize>(gif.size()));
  HBITMAP bitmap = SHLoadImageFile(widePath("tiny.gif").c_str());
  ASSERT_NE(bitmap, nullptr);
  BITMAP info{};
  GetObject(bitmap, sizeof info, &info);
  EXPECT_EQ(info.bmWidth, 3);
  EXPECT_EQ(info.bmHeight, 2);
  const Surface* s = GetBitmapSurface(bitmap);
  EXPECT_EQ(s->at(0, 0), 0xFF0000u);
  EXPECT_EQ(s->at(1, 0), 0x00FF00u);
  EXPECT_EQ(s->at(2, 0), 0x0000FFu);
  EXPECT_EQ(s->at(0, 1), 0xFFFFFFu);
  EXPECT_EQ(s->at(2, 1), 0x00FF00u);

  // It draws like any bitmap.
  Canvas canvas(10, 10);
  HDC image = CreateCompatibleDC(canvas.dc());
  HGDIOBJ old = SelectObject(image, bitmap);
  BitBlt(canvas.dc(), 4, 4, info.bmWidth, info.bmHeight, image, 0, 0, SRCCOPY);
  EXPECT_EQ(canvas.at(5, 4), 0x00FF00u);
  EXPECT_EQ(canvas.at(7, 4), kWhite);
  SelectObject(image, old);
  DeleteDC(image);
  EXPECT_TRUE(DeleteObject(bitmap));

  // The same header with its image data cut away does not decode.
  std::ofstream(dir_ / "cut.gif", std::ios::binary).write(reinterpret_cast<const char*>(gif.data()), 30);
  EXPECT_EQ(SHLoadImageFile(widePath("cut.gif").c_str()), nullptr);
}

TEST_F(ImageTest, JpegFileLoads) {
  writeJpeg("7.jpg");
  HBITMAP bitmap = SHLoadImageFile(widePath("7.jpg").c_str());
  ASSERT_NE(bitmap, nullptr);
  BITMAP info{};
  GetObject(bitmap, sizeof info, &info);
  EXPECT_EQ(info.bmWidth, 80);
  EXPECT_EQ(info.bmHeight, 60);
  const Surface* s = GetBitmapSurface(bitmap);
  EXPECT_TRUE(Near(s->at(10, 30), 0x0000FF)) << std::hex << s->at(10, 30);
  EXPECT_TRUE(Near(s->at(70, 30), 0xFF8000)) << std::hex << s->at(70, 30);
  EXPECT_TRUE(DeleteObject(bitmap));
}

TEST_F(ImageTest, MissingDamagedAndRandomFilesGiveNoCrash) {
  EXPECT_EQ(SHLoadImageFile(widePath("absent.jpg").c_str()), nullptr);
  EXPECT_EQ(SHLoadImageFile(L""), nullptr);
  EXPECT_EQ(SHLoadImageFile(nullptr), nullptr);

  // Truncations of a real JPEG at many lengths: null or a bitmap, never a crash.
  const auto whole = writeJpeg("whole.jpg");
  std::ifstream in(whole, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 200u);
  for (std::size_t length : {std::size_t{0}, std::size_t{2}, std::size_t{20}, std::size_t{150}, bytes.size() / 2,
                             bytes.size() - 3}) {
    const auto path = dir_ / "cut.jpg";
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(length));
    HBITMAP bitmap = SHLoadImageFile(path.wstring().c_str());
    if (bitmap) {
      BITMAP info{};
      GetObject(bitmap, sizeof info, &info);
      EXPECT_EQ(info.bmWidth, 80);
      DeleteObject(bitmap);
    }
  }

  // A header that declares 65535 x 65535 pixels is refused before decoding.
  std::vector<char> forged = bytes;
  for (std::size_t i = 0; i + 8 < forged.size(); ++i) {
    if (static_cast<unsigned char>(forged[i]) == 0xFF && static_cast<unsigned char>(forged[i + 1]) == 0xC0) {
      for (std::size_t k = i + 5; k < i + 9; ++k) forged[k] = static_cast<char>(0xFF);
      break;
    }
  }
  std::ofstream(dir_ / "huge.jpg", std::ios::binary).write(forged.data(), static_cast<std::streamsize>(forged.size()));
  EXPECT_EQ(SHLoadImageFile(widePath("huge.jpg").c_str()), nullptr);
  EXPECT_EQ(SHLoadImageFile(dir_.wstring().c_str()), nullptr) << "a folder is not a picture";

  std::mt19937 random(7);
  std::vector<char> noise(4096);
  for (char& c : noise) c = static_cast<char>(random());
  noise[0] = static_cast<char>(0xFF);
  noise[1] = static_cast<char>(0xD8);  // starts like a JPEG
  std::ofstream(dir_ / "noise.jpg", std::ios::binary).write(noise.data(), static_cast<std::streamsize>(noise.size()));
  HBITMAP bitmap = SHLoadImageFile(widePath("noise.jpg").c_str());
  if (bitmap) DeleteObject(bitmap);
}

}  // namespace
