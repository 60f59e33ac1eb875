// The drawing layer: scenes compared whole with their reference renderings,
// and the rules a picture cannot show checked one by one.
#include <gtest/gtest.h>

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <algorithm>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/gdi/text_layout.h"
#include "platform/system/images.h"
#include "platform/system/resources.h"
#include "tests/support/headless_app.h"
#include "tests/support/reference_image.h"

namespace {

// A memory DC with a white bitmap selected, and ways to look at its pixels.
class Canvas {
 public:
  Canvas(int width, int height)
      : dc_(CreateCompatibleDC(nullptr)), bitmap_(CreateCompatibleBitmap(dc_, width, height)) {
    previous_ = SelectObject(dc_, bitmap_);
    fill(RECT{0, 0, width, height}, RGB(255, 255, 255));
  }
  ~Canvas() {
    SelectObject(dc_, previous_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  HDC dc() const { return dc_; }
  HBITMAP bitmap() const { return bitmap_; }
  const Surface& surface() const { return *GetBitmapSurface(bitmap_); }

  void fill(const RECT& r, COLORREF color) {
    HBRUSH brush = CreateSolidBrush(color);
    FillRect(dc_, &r, brush);
    DeleteObject(brush);
  }

 private:
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ previous_;
};

TEST(GdiObjects, SelectionDeletionStockObjectsBadCopiesAndAWindowDcFollowingItsSurface) {
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

  // Bad copies are refused; a window DC follows its surface.
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
  const HDC windowDc = CreateSurfaceDC(&window);
  EXPECT_EQ(SelectObject(windowDc, source.bitmap()), nullptr) << "a window DC holds no bitmap";
  source.fill(RECT{0, 0, 10, 10}, RGB(255, 0, 0));
  window.resize(5, 4);
  BitBlt(windowDc, 0, 0, 10, 10, from, 0, 0, SRCCOPY);
  EXPECT_EQ(window.pixels, std::vector<std::uint32_t>(20, 0xFF0000u)) << "the whole resized surface";
  DeleteDC(windowDc);
}

void Clip(HDC dc, int left, int top, int right, int bottom) {
  HRGN region = CreateRectRgn(left, top, right, bottom);
  EXPECT_EQ(SelectClipRgn(dc, region), SIMPLEREGION);
  DeleteObject(region);  // the DC keeps its own copy
}

TEST(GdiDrawing, TheSceneMatchesItsReference) {
  Canvas c(64, 40);
  const HDC dc = c.dc();
  c.fill(RECT{2, 2, 12, 10}, RGB(0, 119, 192));
  EXPECT_EQ(c.surface().at(2, 2), 0x0077C0u) << "COLORREF 0x00BBGGRR becomes pixel 0x00RRGGBB";
  EXPECT_EQ(GetPixel(dc, 11, 9), RGB(0, 119, 192));
  c.fill(RECT{58, 36, 90, 90}, RGB(0, 0, 0));  // hangs off the surface: cut, not wrapped
  for (const auto& [r, stock] : {std::pair(RECT{14, 2, 18, 6}, BLACK_BRUSH), std::pair(RECT{18, 2, 22, 6}, NULL_BRUSH)})
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(stock)));

  Canvas source(6, 6);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 6; ++x) SetPixel(source.dc(), x, y, RGB(x * 40, y * 40, 7));
  BitBlt(dc, 24, 2, 6, 6, source.dc(), 0, 0, SRCCOPY);
  BitBlt(dc, 32, 2, 8, 8, source.dc(), 3, 3, SRCCOPY);  // only the 3 x 3 that exists
  Clip(dc, 42, 2, 45, 6);
  BitBlt(dc, 40, 0, 6, 6, source.dc(), 0, 0, SRCCOPY);
  EXPECT_EQ(GetPixel(dc, 41, 2), CLR_INVALID) << "outside the clip region";
  SelectClipRgn(dc, nullptr);
  for (int y = 2; y < 5; ++y)
    for (int x = 48; x < 54; ++x) SetPixel(dc, x, y, RGB(x * 4, y * 60, 200));
  BitBlt(dc, 49, 3, 6, 3, dc, 48, 2, SRCCOPY);  // onto itself, overlapping

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

HFONT MakeFont(LONG height, BYTE pitchAndFamily = VARIABLE_PITCH | FF_SWISS, LONG weight = FW_NORMAL) {
  LOGFONTW lf{};
  lf.lfHeight = height;
  lf.lfWeight = weight;
  lf.lfPitchAndFamily = pitchAndFamily;
  return CreateFontIndirectW(&lf);
}

int Extent(HDC dc, const wchar_t* text) {
  SIZE size{};
  GetTextExtentPoint32W(dc, text, static_cast<int>(std::wcslen(text)), &size);
  return size.cx;
}

void Draw(HDC dc, const wchar_t* text, RECT r, UINT format) { DrawTextW(dc, text, -1, &r, format); }

TEST(GdiText, FontCellsAndFacesReportedHeightsCalculatedRectanglesAndAPageMatchingItsReference) {
  Canvas canvas(300, 200), blank(300, 200);
  const HDC dc = canvas.dc();
  for (LONG height : {30, 12, -20}) {
    SCOPED_TRACE(height);
    SelectObject(dc, MakeFont(height));
    TEXTMETRICW tm{};
    ASSERT_TRUE(GetTextMetricsW(dc, &tm));
    EXPECT_EQ(tm.tmAscent + tm.tmDescent, tm.tmHeight);
    // A positive height is the cell height, a negative one the character height.
    EXPECT_EQ(height > 0 ? tm.tmHeight : tm.tmHeight - tm.tmInternalLeading, std::abs(height));
  }
  EXPECT_EQ(MakeFont(1000000), nullptr);
  EXPECT_EQ(CreateFontIndirectW(nullptr), nullptr);
  const auto width = [&](BYTE pitchAndFamily, LONG weight, const wchar_t* text) {
    SelectObject(dc, MakeFont(30, pitchAndFamily, weight));
    return Extent(dc, text);
  };
  const BYTE swiss = VARIABLE_PITCH | FF_SWISS;
  EXPECT_LT(width(swiss, FW_NORMAL, L"iiii"), width(swiss, FW_NORMAL, L"WWWW"));
  EXPECT_EQ(width(FIXED_PITCH, FW_NORMAL, L"iiii"), width(FF_MODERN, FW_NORMAL, L"WWWW")) << "both monospaced";
  EXPECT_GT(width(swiss, 600, L"Melodex"), width(swiss, 599, L"Melodex")) << "600 and up is bold";
  EXPECT_NE(width(VARIABLE_PITCH | FF_ROMAN, FW_NORMAL, L"Melodex"), width(swiss, FW_NORMAL, L"Melodex"));
  SelectObject(dc, MakeFont(30));
  SelectObject(blank.dc(), MakeFont(30));
  const LONG narrow = std::max(Extent(dc, L"aaa"), Extent(dc, L"bbb")) + 5;
  // What DrawTextW returns, and the rectangle DT_CALCRECT leaves: its right
  // edge at left + the extent of `widthOf`, its bottom at `bottom` (when >= 0).
  const struct {
    const wchar_t* text;
    int count;
    RECT rect;
    UINT format;
    int returns;
    const wchar_t* widthOf;
    LONG bottom;
  } cases[] = {
      {L"Select", -1, {20, 10, 220, 110}, DT_CENTER | DT_VCENTER | DT_SINGLELINE, 65, nullptr, -1},
      {L"x", -1, {0, 0, 200, 100}, DT_BOTTOM | DT_SINGLELINE, 100, nullptr, -1},
      {L"Top", -1, {0, 20, 200, 100}, DT_VCENTER, 30, nullptr, -1},
      {L"aaa bbb ccc", -1, {10, 100, 10 + narrow, 145}, DT_WORDBREAK, 60, nullptr, -1},  // stops past the bottom
      {L"aaa bbb ccc", -1, {10, 100, 10 + narrow, 145}, DT_WORDBREAK | DT_NOCLIP, 90, nullptr, -1},
      {L"aaa bbb ccc", -1, {10, 10, 10 + narrow, 11}, DT_WORDBREAK | DT_CALCRECT, 90, nullptr, 100},
      {L"one two three\r\nfour", -1, {0, 0, 20, 0}, DT_CALCRECT, 60, L"one two three", 60},
      {L"a\nb\r\n\r\nc\r\n", -1, {0, 0, 20, 0}, DT_CALCRECT, 120, nullptr, 120},
      {L"a\r\nb", -1, {0, 0, 300, 30}, DT_SINGLELINE | DT_CALCRECT, 30, L"ab", 30},
      {L"", -1, {5, 5, 100, 100}, DT_CALCRECT, 30, L"", 5},
      {L"abcdef", 3, {0, 0, 300, 60}, DT_CALCRECT | DT_SINGLELINE, 30, L"abc", 30},
      {L"&Hi", -1, {0, 0, 300, 60}, DT_CALCRECT | DT_SINGLELINE, 30, L"Hi", 30},
      {L"A&&B", -1, {0, 0, 300, 60}, DT_CALCRECT | DT_SINGLELINE, 30, L"A&B", 30},
      {L"&Hi", -1, {0, 0, 300, 60}, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX, 30, L"&Hi", 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::wstring(c.text) + L" format " + std::to_wstring(c.format));
    RECT r = c.rect;
    EXPECT_EQ(DrawTextW(c.format & DT_CALCRECT ? blank.dc() : dc, c.text, c.count, &r, c.format), c.returns);
    EXPECT_EQ(r.right, c.widthOf ? r.left + Extent(dc, c.widthOf) : r.right);
    EXPECT_EQ(r.bottom, c.bottom >= 0 ? c.bottom : r.bottom);
  }
  EXPECT_EQ(blank.surface().pixels, std::vector<std::uint32_t>(300 * 200, 0xFFFFFFu)) << "DT_CALCRECT draws nothing";

  // A page of alignments, clips and modes, compared with its reference.
  Canvas page(300, 360);
  const HDC pageDc = page.dc();
  SelectObject(pageDc, MakeFont(30));
  EXPECT_EQ(GetBkMode(pageDc), OPAQUE) << "GDI's default";
  SetBkColor(pageDc, RGB(255, 0, 0));  // the cell shows where each line went
  Draw(pageDc, L"Select", {20, 0, 220, 60}, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  Draw(pageDc, L"Save &As", {120, 0, 300, 40}, DT_SINGLELINE | DT_RIGHT);
  Draw(pageDc, L"Artist:", {0, 60, 200, 100}, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
  Draw(pageDc, L"x", {200, 60, 300, 130}, DT_BOTTOM | DT_SINGLELINE);
  Draw(pageDc, L"Top", {0, 100, 100, 170}, DT_VCENTER);  // vertical centring needs DT_SINGLELINE
  Draw(pageDc, L"aaa bbb ccc", {10, 170, 10 + narrow, 235}, DT_WORDBREAK);  // cut at the bottom
  Draw(pageDc, L"one\r\ntwo\nthree", {120, 130, 300, 230}, 0);

  page.fill(RECT{0, 240, 150, 280}, RGB(0, 255, 0));
  SetBkColor(pageDc, RGB(255, 252, 0));
  SetTextColor(pageDc, RGB(0, 0, 255));
  Draw(pageDc, L"Help", {0, 240, 150, 280}, 0);  // only the text cell is filled
  EXPECT_EQ(SetBkMode(pageDc, TRANSPARENT), OPAQUE);
  Draw(pageDc, L"Help", {80, 240, 150, 280}, 0);
  SetBkMode(pageDc, OPAQUE);
  SetTextColor(pageDc, RGB(0, 0, 0));
  Clip(pageDc, 190, 240, 250, 280);  // the marquee: clipped to its box
  Draw(pageDc, L"A very long artist name", {170, 245, 300, 275}, DT_VCENTER | DT_NOCLIP);
  SelectClipRgn(pageDc, nullptr);
  Draw(pageDc, L"A long name", {0, 290, 60, 320}, 0);  // the formatting rectangle clips...
  Draw(pageDc, L"A long name", {150, 290, 200, 320}, DT_NOCLIP);  // ...unless DT_NOCLIP
  for (const auto& [height, x] : {std::pair(30, 0), std::pair(12, 120), std::pair(-20, 180)}) {
    SelectObject(pageDc, MakeFont(height));
    Draw(pageDc, L"\u00C9gjpqy|", {x, 325, 300, 360}, 0);  // accents and descenders stay in the (yellow) cell
  }
  EXPECT_TRUE(MatchesReference(page.surface(), "platform/reference/gdi-text.png"));
}


TEST(TextLayout, WrapsAtBlanksCutsLongWordsAndMarksTheUnderline) {
  // Every character is 10 pixels wide; " _N" marks the underlined character N.
  const struct {
    const wchar_t* text;
    UINT format;
    int width;
    std::vector<std::wstring> lines;
  } cases[] = {
      {L"aaa bbb ccc", DT_WORDBREAK, 65, {L"aaa", L"bbb", L"ccc"}},
      {L"aaa bbb ccc", DT_WORDBREAK, 70, {L"aaa bbb", L"ccc"}}, {L"aaa   bbb  ", DT_WORDBREAK, 50, {L"aaa", L"bbb"}},
      {L"abcdefghij x", DT_WORDBREAK, 40, {L"abcd", L"efgh", L"ij x"}}, {L"ab", DT_WORDBREAK, 0, {L"a", L"b"}},
      {L"one two\r\n\r\nthree", DT_WORDBREAK, 1000, {L"one two", L"", L"three"}},
      {L"one two\r\nthree\r\n", 0, 10, {L"one two", L"three"}}, {L"a\rb\nc", 0, 10, {L"a", L"b", L"c"}},
      {L"a\r\nb", DT_SINGLELINE | DT_WORDBREAK, 10, {L"ab"}}, {L"Save &As", DT_SINGLELINE, 100, {L"Save As _5"}},
  };
  const auto tenEach = [](std::wstring_view run) { return int(run.size()) * 10; };
  for (const auto& c : cases) {
    std::vector<std::wstring> lines;
    for (const TextLine& line : LayoutText(c.text, c.format, c.width, tenEach))
      lines.push_back(line.text + (line.underline >= 0 ? L" _" + std::to_wstring(line.underline) : L""));
    EXPECT_EQ(lines, c.lines) << c.text;
  }
}

// Width * 1000 + height, or 0 when there is no bitmap.
int Size(HBITMAP bitmap) {
  BITMAP info{};
  return GetObject(bitmap, sizeof info, &info) ? info.bmWidth * 1000 + info.bmHeight : 0;
}

// GIF resources and files, JPEG files, and files that are no pictures or
// damaged ones: no bitmap, never a crash.
TEST(Images, PicturesDecodeAtTheirSizeAndBadFilesGiveNoBitmap) {
  const std::filesystem::path folder = MakeTempFolder("melodex-images");
  const auto write = [&](const char* name, const void* bytes, std::size_t size) {
    std::ofstream(folder / name, std::ios::binary).write(static_cast<const char*>(bytes), std::streamsize(size));
    return (folder / name).wstring();
  };
  EXPECT_EQ(Size(SHLoadImageResource(nullptr, 145)), 320043);
  for (int id : {-1, 0, 4242}) EXPECT_EQ(SHLoadImageResource(nullptr, static_cast<UINT>(id)), nullptr) << id;
  // The soft-key label as a file: the resource's pixels, on the band's colour.
  const ResourceBytes gif = FindResourceBytes(ResourceType::Gif, 161);
  HBITMAP file = SHLoadImageFile(write("161.gif", gif.data, gif.size).c_str());
  ASSERT_EQ(Size(file), 30012);
  EXPECT_EQ(GetBitmapSurface(file)->pixels, GetBitmapSurface(SHLoadImageResource(nullptr, 161))->pixels);
  EXPECT_EQ(GetBitmapSurface(file)->at(0, 0), 0x0077C0u);
  EXPECT_EQ(SHLoadImageFile(write("cut.gif", gif.data, 30).c_str()), nullptr) << "image data cut away";

  SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, 80, 60, 32, SDL_PIXELFORMAT_ARGB8888);
  ASSERT_EQ(IMG_SaveJPG(s, (folder / "made.jpg").c_str(), 95), 0) << IMG_GetError();
  SDL_FreeSurface(s);
  const std::string bytes = ReadFile(folder / "made.jpg");
  EXPECT_EQ(Size(SHLoadImageFile((folder / "made.jpg").wstring().c_str())), 80060);
  for (const std::filesystem::path& path : {std::filesystem::path(), folder / "absent.jpg", folder})
    EXPECT_EQ(SHLoadImageFile(path.wstring().c_str()), nullptr) << path;
  EXPECT_EQ(SHLoadImageFile(nullptr), nullptr);
  // Cut at many lengths: no bitmap, or one of the whole size.
  for (std::size_t length : {std::size_t{0}, std::size_t{2}, std::size_t{150}, bytes.size() / 2, bytes.size() - 3}) {
    const int size = Size(SHLoadImageFile(write("cut.jpg", bytes.data(), length).c_str()));
    EXPECT_TRUE(size == 0 || size == 80060) << length;
  }
  // A frame header that declares 65535 x 65535 pixels is refused before decoding.
  std::string forged = bytes;
  const std::size_t frame = forged.find("\xFF\xC0");
  ASSERT_NE(frame, std::string::npos);
  forged.replace(frame + 5, 4, 4, '\xFF');
  EXPECT_EQ(SHLoadImageFile(write("huge.jpg", forged.data(), forged.size()).c_str()), nullptr);
  std::mt19937 random(7);
  std::vector<char> noise(4096);
  for (char& c : noise) c = static_cast<char>(random());
  noise[0] = static_cast<char>(0xFF), noise[1] = static_cast<char>(0xD8);  // starts like a JPEG
  SHLoadImageFile(write("noise.jpg", noise.data(), noise.size()).c_str());
  std::filesystem::remove_all(folder);
}

}  // namespace
