// Device contexts, objects, filling, copying, clipping and pen lines,
// checked on the pixels they leave behind.
#include <gtest/gtest.h>

#include "tests/platform/gdi/canvas.h"

namespace {

TEST(GdiObjects, SelectionReturnsPreviousAndBlocksDeletion) {
  HDC dc = CreateCompatibleDC(nullptr);
  ASSERT_NE(dc, nullptr);
  HBITMAP first = CreateCompatibleBitmap(dc, 4, 3);
  HBITMAP second = CreateCompatibleBitmap(dc, 5, 6);

  HGDIOBJ stock = SelectObject(dc, first);
  ASSERT_NE(stock, nullptr);
  BITMAP info{};
  ASSERT_EQ(GetObject(stock, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.bmWidth, 1);
  EXPECT_EQ(info.bmHeight, 1);

  EXPECT_EQ(DeleteObject(first), FALSE) << "a selected bitmap must not be deleted";
  EXPECT_EQ(SelectObject(dc, second), first);
  ASSERT_EQ(GetObjectW(second, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.bmWidth, 5);
  EXPECT_EQ(info.bmHeight, 6);
  EXPECT_EQ(info.bmBitsPixel, 32);

  // A bitmap can live in one memory DC at a time.
  HDC other = CreateCompatibleDC(dc);
  EXPECT_EQ(SelectObject(other, second), nullptr);
  EXPECT_NE(SelectObject(other, first), nullptr);

  HPEN pen = CreatePen(PS_SOLID, 1, RGB(1, 2, 3));
  HGDIOBJ defaultPen = SelectObject(dc, pen);
  EXPECT_NE(defaultPen, nullptr);
  EXPECT_EQ(DeleteObject(pen), FALSE);
  EXPECT_EQ(SelectObject(dc, defaultPen), pen);
  EXPECT_EQ(DeleteObject(pen), TRUE);
  EXPECT_EQ(DeleteObject(pen), FALSE) << "a deleted handle is no longer valid";

  EXPECT_EQ(DeleteDC(other), TRUE);
  EXPECT_EQ(DeleteObject(first), TRUE) << "deleting the DC releases its bitmap";
  SelectObject(dc, stock);
  EXPECT_EQ(DeleteObject(second), TRUE);
  EXPECT_EQ(DeleteDC(dc), TRUE);
  EXPECT_EQ(DeleteDC(dc), FALSE);
}

TEST(GdiObjects, StockObjectsAndDeviceCaps) {
  Canvas canvas(4, 4);
  const RECT left{0, 0, 2, 4};
  FillRect(canvas.dc(), &left, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  const RECT right{2, 0, 4, 4};
  FillRect(canvas.dc(), &right, static_cast<HBRUSH>(GetStockObject(NULL_BRUSH)));
  EXPECT_EQ(canvas.at(1, 1), kBlack);
  EXPECT_EQ(canvas.at(3, 1), kWhite);
  EXPECT_EQ(DeleteObject(GetStockObject(WHITE_BRUSH)), TRUE);
  EXPECT_NE(GetStockObject(WHITE_BRUSH), nullptr) << "stock objects survive deletion";

  EXPECT_EQ(GetDeviceCaps(nullptr, HORZRES), 240);
  EXPECT_EQ(GetDeviceCaps(nullptr, VERTRES), 320);
  SetDisplayMetrics(480, 640);
  EXPECT_EQ(GetDeviceCaps(canvas.dc(), HORZRES), 480);
  EXPECT_EQ(GetDeviceCaps(canvas.dc(), VERTRES), 640);
  SetDisplayMetrics(240, 320);
}

TEST(GdiFill, ConvertsColourAndStaysInsideTheRectangle) {
  Canvas canvas(10, 10);
  canvas.fill(RECT{2, 3, 5, 7}, RGB(0, 119, 192));
  EXPECT_EQ(canvas.at(2, 3), 0x0077C0u) << "COLORREF 0x00BBGGRR becomes pixel 0x00RRGGBB";
  EXPECT_EQ(canvas.at(4, 6), 0x0077C0u);
  const RECT ink = canvas.inkBounds();
  EXPECT_EQ(ink.left, 2);
  EXPECT_EQ(ink.top, 3);
  EXPECT_EQ(ink.right, 5);
  EXPECT_EQ(ink.bottom, 7);
  EXPECT_EQ(GetPixel(canvas.dc(), 3, 4), RGB(0, 119, 192));

  // Rectangles hanging off the surface are cut, not wrapped around.
  canvas.fill(RECT{-5, 8, 50, 50}, RGB(0, 0, 0));
  EXPECT_EQ(canvas.count(kBlack), 20);
  EXPECT_EQ(GetPixel(canvas.dc(), 10, 0), CLR_INVALID);
}

TEST(GdiBitBlt, CopiesClippedToBothSurfacesAndTheClipRegion) {
  Canvas source(6, 6);
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 6; ++x) SetPixel(source.dc(), x, y, RGB(x * 10, y * 10, 7));
  }
  Canvas dest(8, 8);
  ASSERT_TRUE(BitBlt(dest.dc(), 4, 4, 6, 6, source.dc(), 0, 0, SRCCOPY));
  EXPECT_EQ(dest.at(4, 4), 0x000007u);
  EXPECT_EQ(dest.at(7, 6), 0x1E1407u);
  EXPECT_EQ(dest.at(3, 3), kWhite);

  // A source window partly outside the source copies only what exists.
  Canvas partial(8, 8);
  ASSERT_TRUE(BitBlt(partial.dc(), 0, 0, 8, 8, source.dc(), 3, 3, SRCCOPY));
  EXPECT_EQ(partial.at(0, 0), 0x1E1E07u);
  EXPECT_EQ(partial.at(2, 2), 0x323207u);
  EXPECT_EQ(partial.at(3, 3), kWhite);

  Canvas clipped(8, 8);
  HRGN region = CreateRectRgn(2, 2, 4, 5);
  EXPECT_EQ(SelectClipRgn(clipped.dc(), region), SIMPLEREGION);
  DeleteObject(region);  // the DC keeps its own copy
  BitBlt(clipped.dc(), 0, 0, 6, 6, source.dc(), 0, 0, SRCCOPY);
  const RECT ink = clipped.inkBounds();
  EXPECT_EQ(ink.left, 2);
  EXPECT_EQ(ink.top, 2);
  EXPECT_EQ(ink.right, 4);
  EXPECT_EQ(ink.bottom, 5);
  EXPECT_EQ(GetPixel(clipped.dc(), 0, 0), CLR_INVALID) << "outside the clip region";
  SelectClipRgn(clipped.dc(), nullptr);
  BitBlt(clipped.dc(), 0, 0, 6, 6, source.dc(), 0, 0, SRCCOPY);
  EXPECT_EQ(clipped.at(5, 5), 0x323207u);

  EXPECT_FALSE(BitBlt(dest.dc(), 0, 0, 1, 1, source.dc(), 0, 0, 0x00EE0086));
}

TEST(GdiBitBlt, OverlappingCopyWithinOneSurface) {
  Canvas canvas(6, 1);
  for (int x = 0; x < 6; ++x) SetPixel(canvas.dc(), x, 0, RGB(x, 0, 0));
  BitBlt(canvas.dc(), 1, 0, 5, 1, canvas.dc(), 0, 0, SRCCOPY);
  for (int x = 1; x < 6; ++x) EXPECT_EQ(canvas.at(x, 0), static_cast<std::uint32_t>(x - 1) << 16);
}

TEST(GdiBitBlt, WindowSurfaceFollowsItsSize) {
  Surface window;
  window.resize(3, 3);
  HDC dc = CreateSurfaceDC(&window);
  ASSERT_NE(dc, nullptr);
  Canvas source(10, 10);
  source.fill(RECT{0, 0, 10, 10}, RGB(255, 0, 0));
  EXPECT_EQ(SelectObject(dc, source.bitmap()), nullptr) << "a window DC holds no bitmap";
  window.resize(5, 4);
  BitBlt(dc, 0, 0, 10, 10, source.dc(), 0, 0, SRCCOPY);
  for (std::uint32_t p : window.pixels) EXPECT_EQ(p, 0xFF0000u);
  DeleteDC(dc);
}

TEST(GdiPen, LinesLeaveOutTheirEndPoint) {
  Canvas canvas(12, 12);
  HPEN pen = CreatePen(PS_SOLID, 1, RGB(255, 252, 0));
  HGDIOBJ old = SelectObject(canvas.dc(), pen);
  POINT previous{-1, -1};
  MoveToEx(canvas.dc(), 1, 2, &previous);
  EXPECT_EQ(previous.x, 0);
  EXPECT_EQ(previous.y, 0);
  LineTo(canvas.dc(), 9, 2);
  const std::uint32_t yellow = 0xFFFC00;
  for (int x = 1; x < 9; ++x) EXPECT_EQ(canvas.at(x, 2), yellow) << x;
  EXPECT_EQ(canvas.at(9, 2), kWhite) << "end point is not drawn";
  EXPECT_EQ(canvas.at(0, 2), kWhite);

  // The pen carries on from the end point.
  LineTo(canvas.dc(), 9, 6);
  EXPECT_EQ(canvas.at(9, 2), yellow);
  EXPECT_EQ(canvas.at(9, 5), yellow);
  EXPECT_EQ(canvas.at(9, 6), kWhite);

  MoveToEx(canvas.dc(), 0, 11, nullptr);
  LineTo(canvas.dc(), 11, 0);
  EXPECT_EQ(canvas.at(0, 11), yellow);
  EXPECT_EQ(canvas.at(5, 6), yellow);
  EXPECT_EQ(canvas.at(11, 0), kWhite);
  EXPECT_EQ(canvas.count(yellow), 8 + 4 + 11 - 1) << "(9, 2) lies on two lines";

  // Lines obey the clip region and may run off the surface.
  Canvas clipped(12, 12);
  SelectObject(clipped.dc(), pen);
  HRGN region = CreateRectRgn(0, 0, 5, 12);
  SelectClipRgn(clipped.dc(), region);
  MoveToEx(clipped.dc(), -3, 4, nullptr);
  LineTo(clipped.dc(), 20, 4);
  EXPECT_EQ(clipped.count(yellow), 5);
  DeleteObject(region);

  SelectObject(canvas.dc(), old);
  SelectObject(clipped.dc(), old);
  EXPECT_TRUE(DeleteObject(pen));
}

}  // namespace

namespace {

// A 4 x 2 source: black and white columns, one red row below.
void PaintStripes(Canvas& source) {
  source.fill(RECT{0, 0, 1, 1}, RGB(0, 0, 0));
  source.fill(RECT{2, 0, 3, 1}, RGB(0, 0, 0));
  source.fill(RECT{0, 1, 4, 2}, RGB(255, 0, 0));
}

TEST(GdiStretch, HalftoneAveragesTheAreaUnderEachPixel) {
  Canvas source(4, 2);
  PaintStripes(source);
  Canvas target(4, 4);
  EXPECT_EQ(SetStretchBltMode(target.dc(), HALFTONE), COLORONCOLOR);
  // 4 x 2 onto 2 x 1: each pixel averages a black, a white and two red pixels.
  ASSERT_TRUE(StretchBlt(target.dc(), 1, 1, 2, 1, source.dc(), 0, 0, 4, 2, SRCCOPY));
  EXPECT_EQ(target.at(1, 1), 0xBF4040u);
  EXPECT_EQ(target.at(2, 1), 0xBF4040u);
  EXPECT_EQ(target.at(0, 1), kWhite) << "nothing outside the destination rectangle";
  EXPECT_EQ(target.at(3, 1), kWhite);

  // A shrink by 1.5 weights the middle source pixel half into each neighbour.
  Canvas row(3, 1);
  row.fill(RECT{1, 0, 2, 1}, RGB(0, 0, 0));
  Canvas two(2, 1);
  SetStretchBltMode(two.dc(), HALFTONE);
  ASSERT_TRUE(StretchBlt(two.dc(), 0, 0, 2, 1, row.dc(), 0, 0, 3, 1, SRCCOPY));
  EXPECT_EQ(two.at(0, 0), 0xAAAAAAu);
  EXPECT_EQ(two.at(1, 0), 0xAAAAAAu);
}

TEST(GdiStretch, NearestByDefaultClippedAndCheckedLikeBitBlt) {
  Canvas source(4, 2);
  PaintStripes(source);
  Canvas target(3, 3);
  // Doubling a 2 x 1 block whose pixels are black and white, hanging off the right edge.
  ASSERT_TRUE(StretchBlt(target.dc(), 0, 0, 4, 2, source.dc(), 0, 0, 2, 1, SRCCOPY));
  EXPECT_EQ(target.at(0, 0), kBlack);
  EXPECT_EQ(target.at(1, 1), kBlack);
  EXPECT_EQ(target.at(2, 0), kWhite);
  EXPECT_EQ(target.at(0, 2), kWhite);

  EXPECT_FALSE(StretchBlt(target.dc(), 0, 0, 2, 2, source.dc(), 3, 0, 2, 2, SRCCOPY)) << "source off its surface";
  EXPECT_FALSE(StretchBlt(target.dc(), 0, 0, 0, 2, source.dc(), 0, 0, 2, 2, SRCCOPY));
  EXPECT_FALSE(StretchBlt(target.dc(), 0, 0, -2, 2, source.dc(), 0, 0, 2, 2, SRCCOPY)) << "no mirroring";
  EXPECT_EQ(SetStretchBltMode(target.dc(), 7), 0);
}

}  // namespace
