// Device contexts and objects, and what filling, copying, clipping, pen lines
// and stretching leave on the pixels: one scene compared whole with its
// reference rendering, and the rules that a picture cannot show.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "tests/platform/gdi/canvas.h"
#include "tests/support/reference_image.h"

namespace {

TEST(GdiObjects, SelectionDeletionAndStockObjects) {
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP first = CreateCompatibleBitmap(dc, 4, 3);
  HBITMAP second = CreateCompatibleBitmap(dc, 5, 6);
  const HGDIOBJ stock = SelectObject(dc, first);
  BITMAP info{};
  ASSERT_EQ(GetObject(stock, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.bmWidth * info.bmHeight, 1) << "a fresh DC holds a 1 x 1 bitmap";
  EXPECT_FALSE(DeleteObject(first)) << "a selected bitmap must not be deleted";
  EXPECT_EQ(SelectObject(dc, second), first);
  GetObjectW(second, sizeof info, &info);
  EXPECT_EQ(std::make_tuple(info.bmWidth, info.bmHeight, info.bmBitsPixel), std::make_tuple(5, 6, WORD{32}));
  HDC other = CreateCompatibleDC(dc);
  EXPECT_EQ(SelectObject(other, second), nullptr) << "a bitmap lives in one memory DC at a time";
  EXPECT_NE(SelectObject(other, first), nullptr);

  const HPEN pen = CreatePen(PS_SOLID, 1, RGB(1, 2, 3));
  const HGDIOBJ defaultPen = SelectObject(dc, pen);
  EXPECT_FALSE(DeleteObject(pen));
  EXPECT_EQ(SelectObject(dc, defaultPen), pen);
  EXPECT_TRUE(DeleteObject(pen));
  EXPECT_FALSE(DeleteObject(pen)) << "a deleted handle is no longer valid";
  EXPECT_TRUE(DeleteDC(other));
  EXPECT_TRUE(DeleteObject(first)) << "deleting the DC released its bitmap";
  SelectObject(dc, stock);
  EXPECT_TRUE(DeleteObject(second));
  EXPECT_TRUE(DeleteDC(dc));
  EXPECT_FALSE(DeleteDC(dc));
  EXPECT_TRUE(DeleteObject(GetStockObject(WHITE_BRUSH)));
  EXPECT_NE(GetStockObject(WHITE_BRUSH), nullptr) << "stock objects survive deletion";
}

void Fill(HDC dc, RECT r, HBRUSH brush) { FillRect(dc, &r, brush); }

void Clip(HDC dc, int left, int top, int right, int bottom) {
  HRGN region = CreateRectRgn(left, top, right, bottom);
  EXPECT_EQ(SelectClipRgn(dc, region), SIMPLEREGION);
  DeleteObject(region);  // the DC keeps its own copy
}

TEST(GdiDrawing, TheSceneMatchesItsReference) {
  Canvas c(64, 40);
  const HDC dc = c.dc();
  c.fill(RECT{2, 2, 12, 10}, RGB(0, 119, 192));
  EXPECT_EQ(c.at(2, 2), 0x0077C0u) << "COLORREF 0x00BBGGRR becomes pixel 0x00RRGGBB";
  EXPECT_EQ(GetPixel(dc, 11, 9), RGB(0, 119, 192));
  c.fill(RECT{58, 36, 90, 90}, RGB(0, 0, 0));  // hangs off the surface: cut, not wrapped
  Fill(dc, RECT{14, 2, 18, 6}, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  Fill(dc, RECT{18, 2, 22, 6}, static_cast<HBRUSH>(GetStockObject(NULL_BRUSH)));

  Canvas source(6, 6);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 6; ++x) SetPixel(source.dc(), x, y, RGB(x * 40, y * 40, 7));
  BitBlt(dc, 24, 2, 6, 6, source.dc(), 0, 0, SRCCOPY);
  BitBlt(dc, 32, 2, 8, 8, source.dc(), 3, 3, SRCCOPY);  // only the 3 x 3 that exists
  Clip(dc, 42, 2, 45, 6);
  BitBlt(dc, 40, 0, 6, 6, source.dc(), 0, 0, SRCCOPY);
  EXPECT_EQ(GetPixel(dc, 41, 2), CLR_INVALID) << "outside the clip region";
  SelectClipRgn(dc, nullptr);
  for (int x = 48; x < 54; ++x) SetPixel(dc, x, 2, RGB(x * 4, 0, 200));
  BitBlt(dc, 49, 2, 5, 1, dc, 48, 2, SRCCOPY);  // onto itself, overlapping

  const HPEN pen = CreatePen(PS_SOLID, 1, RGB(255, 252, 0));
  SelectObject(dc, pen);
  POINT previous{-1, -1};
  MoveToEx(dc, 2, 14, &previous);
  EXPECT_EQ(previous.x * 100 + previous.y, 0);
  LineTo(dc, 12, 14);  // the end point is left out...
  LineTo(dc, 12, 20);  // ...and the next line starts there
  MoveToEx(dc, 2, 30, nullptr);
  LineTo(dc, 12, 20);
  Clip(dc, 20, 0, 26, 40);
  MoveToEx(dc, -3, 16, nullptr);
  LineTo(dc, 80, 16);
  SelectClipRgn(dc, nullptr);

  // A 4 x 2 source of black and white columns over a red row; a black dot.
  Canvas stripes(4, 2);
  stripes.fill(RECT{0, 0, 1, 1}, RGB(0, 0, 0));
  stripes.fill(RECT{2, 0, 3, 1}, RGB(0, 0, 0));
  stripes.fill(RECT{0, 1, 4, 2}, RGB(255, 0, 0));
  Canvas dot(3, 1);
  dot.fill(RECT{1, 0, 2, 1}, RGB(0, 0, 0));
  StretchBlt(dc, 28, 24, 8, 4, stripes.dc(), 0, 0, 2, 1, SRCCOPY);    // nearest, doubled
  StretchBlt(dc, 60, 24, 8, 4, stripes.dc(), 0, 0, 2, 1, SRCCOPY);    // off the right edge
  EXPECT_EQ(SetStretchBltMode(dc, HALFTONE), COLORONCOLOR);
  StretchBlt(dc, 40, 24, 2, 1, stripes.dc(), 0, 0, 4, 2, SRCCOPY);    // each averages 4 pixels
  StretchBlt(dc, 44, 24, 2, 1, dot.dc(), 0, 0, 3, 1, SRCCOPY);        // the middle halved into both
  StretchBlt(dc, 48, 24, 12, 6, stripes.dc(), 0, 0, 4, 2, SRCCOPY);   // enlarged
  EXPECT_TRUE(MatchesReference(c.surface(), "platform/reference/gdi-scene.png"));
}

TEST(GdiDrawing, BadCopiesAreRefusedAndAWindowDcFollowsItsSurface) {
  Canvas source(10, 10), target(4, 4);
  const HDC to = target.dc(), from = source.dc();
  EXPECT_FALSE(BitBlt(to, 0, 0, 1, 1, from, 0, 0, 0x00EE0086)) << "only SRCCOPY";
  EXPECT_FALSE(StretchBlt(to, 0, 0, 2, 2, from, 9, 0, 2, 2, SRCCOPY)) << "source off its surface";
  EXPECT_FALSE(StretchBlt(to, 0, 0, 0, 2, from, 0, 0, 2, 2, SRCCOPY));
  EXPECT_FALSE(StretchBlt(to, 0, 0, -2, 2, from, 0, 0, 2, 2, SRCCOPY)) << "no mirroring";
  EXPECT_EQ(SetStretchBltMode(to, 7), 0);
  EXPECT_EQ(GetPixel(to, 4, 0), CLR_INVALID);

  Surface window;
  window.resize(3, 3);
  const HDC dc = CreateSurfaceDC(&window);
  EXPECT_EQ(SelectObject(dc, source.bitmap()), nullptr) << "a window DC holds no bitmap";
  source.fill(RECT{0, 0, 10, 10}, RGB(255, 0, 0));
  window.resize(5, 4);
  BitBlt(dc, 0, 0, 10, 10, from, 0, 0, SRCCOPY);
  EXPECT_EQ(window.pixels, std::vector<std::uint32_t>(20, 0xFF0000u)) << "the whole resized surface";
  DeleteDC(dc);
}

}  // namespace
