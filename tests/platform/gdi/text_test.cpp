// Fonts and text: cell heights, measuring against the ink actually drawn,
// alignment, line breaking, background modes and clipping.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "platform/gdi/text_layout.h"
#include "tests/platform/gdi/canvas.h"

namespace {

constexpr std::uint32_t kRed = 0xFF0000;
constexpr std::uint32_t kGreen = 0x00FF00;

// The application's text font: Swiss, variable pitch, no face name.
HFONT MakeFont(LONG height) {
  LOGFONTW lf{};
  lf.lfHeight = height;
  lf.lfWeight = FW_NORMAL;
  lf.lfCharSet = DEFAULT_CHARSET;
  lf.lfQuality = CLEARTYPE_QUALITY;
  lf.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
  return CreateFontIndirectW(&lf);
}

class TextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    font_ = MakeFont(30);
    ASSERT_NE(font_, nullptr);
  }
  void TearDown() override { DeleteObject(font_); }

  // Width of text as DT_CALCRECT reports it.
  int calcWidth(HDC dc, const wchar_t* text, UINT format = DT_SINGLELINE) {
    RECT r{0, 0, 1000, 1000};
    DrawTextW(dc, text, -1, &r, format | DT_CALCRECT);
    return r.right;
  }

  HFONT font_ = nullptr;
};

TEST(GdiFont, CellHeightIsThePositiveHeight) {
  for (LONG height : {30, 40, 29, 12}) {
    HFONT font = MakeFont(height);
    ASSERT_NE(font, nullptr);
    Canvas canvas(300, 120);
    SelectObject(canvas.dc(), font);
    TEXTMETRICW tm{};
    ASSERT_TRUE(GetTextMetricsW(canvas.dc(), &tm));
    EXPECT_EQ(tm.tmHeight, height);
    EXPECT_EQ(tm.tmAscent + tm.tmDescent, height);
    EXPECT_GT(tm.tmDescent, 0);
    EXPECT_GT(tm.tmAveCharWidth, 0);
    EXPECT_GE(tm.tmMaxCharWidth, tm.tmAveCharWidth);

    SIZE extent{};
    ASSERT_TRUE(GetTextExtentPoint32W(canvas.dc(), L"Hg", 2, &extent));
    EXPECT_EQ(extent.cy, height);

    // Accents and descenders stay inside the cell: nothing is cut off.
    RECT r{0, 10, 300, 10 + height};
    SetBkMode(canvas.dc(), TRANSPARENT);
    EXPECT_EQ(DrawTextW(canvas.dc(), L"\u00C9gjpqy|", -1, &r, DT_NOCLIP), height);
    const RECT ink = canvas.inkBounds();
    EXPECT_GE(ink.top, 10);
    EXPECT_LE(ink.bottom, 10 + height);
    EXPECT_GT(ink.bottom, 10 + tm.tmAscent) << "descenders are drawn below the baseline";

    SelectObject(canvas.dc(), GetStockObject(WHITE_BRUSH));
    TEXTMETRICW stockMetrics{};
    EXPECT_TRUE(GetTextMetricsW(canvas.dc(), &stockMetrics));
    EXPECT_EQ(DeleteObject(font), FALSE) << "still selected";
    DeleteDC(CreateCompatibleDC(nullptr));
  }
}

TEST(GdiFont, NegativeHeightIsTheCharacterHeight) {
  HFONT font = MakeFont(-20);
  ASSERT_NE(font, nullptr);
  Canvas canvas(10, 10);
  HGDIOBJ old = SelectObject(canvas.dc(), font);
  TEXTMETRICW tm{};
  GetTextMetricsW(canvas.dc(), &tm);
  EXPECT_GT(tm.tmHeight, 20);
  EXPECT_LT(tm.tmHeight, 26);
  EXPECT_EQ(tm.tmHeight - tm.tmInternalLeading, 20);
  SelectObject(canvas.dc(), old);
  EXPECT_TRUE(DeleteObject(font));

  LOGFONTW absurd{};
  absurd.lfHeight = 1000000;
  EXPECT_EQ(CreateFontIndirectW(&absurd), nullptr);
  EXPECT_EQ(CreateFontIndirectW(nullptr), nullptr);
}

int WidthWith(BYTE pitchAndFamily, LONG weight, const wchar_t* text) {
  LOGFONTW lf{};
  lf.lfHeight = 30;
  lf.lfWeight = weight;
  lf.lfPitchAndFamily = pitchAndFamily;
  HFONT font = CreateFontIndirectW(&lf);
  Canvas canvas(1, 1);
  HGDIOBJ old = SelectObject(canvas.dc(), font);
  SIZE size{};
  GetTextExtentPoint32W(canvas.dc(), text, static_cast<int>(std::wcslen(text)), &size);
  SelectObject(canvas.dc(), old);
  DeleteObject(font);
  return size.cx;
}

TEST(GdiFont, FamilyPitchAndWeightChooseTheFace) {
  const BYTE swiss = VARIABLE_PITCH | FF_SWISS;
  EXPECT_LT(WidthWith(swiss, FW_NORMAL, L"iiii"), WidthWith(swiss, FW_NORMAL, L"WWWW"));
  EXPECT_EQ(WidthWith(FIXED_PITCH, FW_NORMAL, L"iiii"), WidthWith(FIXED_PITCH, FW_NORMAL, L"WWWW"));
  EXPECT_EQ(WidthWith(FF_MODERN, FW_NORMAL, L"iiii"), WidthWith(FF_MODERN, FW_NORMAL, L"WWWW"));
  EXPECT_GT(WidthWith(swiss, FW_BOLD, L"Melodex"), WidthWith(swiss, FW_NORMAL, L"Melodex"));
  EXPECT_GT(WidthWith(swiss, 600, L"Melodex"), WidthWith(swiss, 599, L"Melodex"));
  EXPECT_NE(WidthWith(VARIABLE_PITCH | FF_ROMAN, FW_NORMAL, L"Melodex ID"),
            WidthWith(swiss, FW_NORMAL, L"Melodex ID"));
}

TEST_F(TextTest, CalcRectWidthMatchesTheInk) {
  Canvas canvas(400, 60);
  SelectObject(canvas.dc(), font_);
  SetBkMode(canvas.dc(), TRANSPARENT);
  // Strings ending in a letter: punctuation carries a wider side bearing,
  // which the advance (as in GDI) includes but the ink does not.
  for (const wchar_t* text : {L"Melodex Width", L"Artist", L"HWMW", L"ID Picks and More"}) {
    canvas.fill(RECT{0, 0, 400, 60}, RGB(255, 255, 255));
    RECT calc{10, 5, 20, 5};
    const int height = DrawTextW(canvas.dc(), text, -1, &calc, DT_CALCRECT | DT_SINGLELINE);
    EXPECT_EQ(height, 30);
    EXPECT_EQ(calc.left, 10);
    EXPECT_EQ(calc.top, 5);
    EXPECT_EQ(calc.bottom, 35);
    RECT draw{10, 5, 400, 35};
    DrawTextW(canvas.dc(), text, -1, &draw, DT_SINGLELINE);
    const RECT ink = canvas.inkBounds();
    EXPECT_NEAR(ink.left, 10, 2) << text;
    EXPECT_NEAR(ink.right, calc.right, 2) << text;
    EXPECT_GE(ink.top, 5);
    EXPECT_LE(ink.bottom, 35);
    SIZE extent{};
    GetTextExtentPoint32W(canvas.dc(), text, static_cast<int>(std::wcslen(text)), &extent);
    EXPECT_EQ(extent.cx, calc.right - calc.left);
  }
}

TEST_F(TextTest, SingleLineCentredBothWaysAndRightAligned) {
  Canvas canvas(240, 120);
  SelectObject(canvas.dc(), font_);
  SetBkColor(canvas.dc(), RGB(255, 0, 0));
  const int width = calcWidth(canvas.dc(), L"Select");

  // In opaque mode the text cell is filled: its box shows where the line went.
  RECT r{20, 10, 220, 110};
  const int returned = DrawTextW(canvas.dc(), L"Select", -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  const int top = 10 + 100 / 2 - 30 / 2;
  EXPECT_EQ(returned, top + 30 - 10) << "offset from the top to the bottom of the text";
  RECT box = canvas.inkBounds();
  EXPECT_EQ(box.left, (20 + 220 - width) / 2);
  EXPECT_EQ(box.right, box.left + width);
  EXPECT_EQ(box.top, top);
  EXPECT_EQ(box.bottom, top + 30);
  EXPECT_EQ(canvas.at(box.left, box.top), kRed);

  canvas.fill(RECT{0, 0, 240, 120}, RGB(255, 255, 255));
  RECT right{0, 0, 200, 100};
  DrawTextW(canvas.dc(), L"Artist:", -1, &right, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
  box = canvas.inkBounds();
  EXPECT_EQ(box.right, 200);
  EXPECT_EQ(box.left, 200 - calcWidth(canvas.dc(), L"Artist:"));
  EXPECT_EQ(box.top, 35);

  canvas.fill(RECT{0, 0, 240, 120}, RGB(255, 255, 255));
  RECT bottom{0, 0, 200, 100};
  EXPECT_EQ(DrawTextW(canvas.dc(), L"x", -1, &bottom, DT_BOTTOM | DT_SINGLELINE), 100);
  EXPECT_EQ(canvas.inkBounds().bottom, 100);
}

TEST_F(TextTest, VerticalCentringNeedsSingleLine) {
  Canvas canvas(200, 100);
  SelectObject(canvas.dc(), font_);
  SetBkColor(canvas.dc(), RGB(255, 0, 0));
  RECT r{0, 20, 200, 100};
  EXPECT_EQ(DrawTextW(canvas.dc(), L"Top", -1, &r, DT_VCENTER), 30);
  const RECT box = canvas.inkBounds();
  EXPECT_EQ(box.top, 20);
  EXPECT_EQ(box.bottom, 50);
  EXPECT_EQ(box.left, 0);
}

TEST_F(TextTest, WordBreakWrapsAndClipsAtTheBottom) {
  Canvas canvas(200, 200);
  SelectObject(canvas.dc(), font_);
  SetBkColor(canvas.dc(), RGB(255, 0, 0));
  const int aaa = calcWidth(canvas.dc(), L"aaa");
  const int bbb = calcWidth(canvas.dc(), L"bbb");
  const int narrow = std::max(aaa, bbb) + 5;

  RECT calc{10, 10, 10 + narrow, 11};
  EXPECT_EQ(DrawTextW(canvas.dc(), L"aaa bbb ccc", -1, &calc, DT_WORDBREAK | DT_CALCRECT), 90);
  EXPECT_EQ(calc.bottom, 100);
  EXPECT_LE(calc.right, 10 + narrow);
  EXPECT_GE(calc.right, 10 + aaa);
  EXPECT_EQ(canvas.count(kRed), 0) << "DT_CALCRECT draws nothing";

  // Room for two lines and five rows of the third.
  RECT r{10, 10, 10 + narrow, 75};
  DrawTextW(canvas.dc(), L"aaa bbb ccc", -1, &r, DT_WORDBREAK);
  EXPECT_EQ(canvas.at(10, 10), kRed);
  EXPECT_EQ(canvas.at(10, 40), kRed) << "second line";
  EXPECT_EQ(canvas.at(10, 74), kRed) << "top of the third line";
  EXPECT_EQ(canvas.at(10, 75), kWhite) << "cut at the rectangle's bottom";
  EXPECT_EQ(canvas.inkBounds().bottom, 75);
  EXPECT_EQ(canvas.at(10 + aaa, 15), kWhite) << "the cell is the line's width, not the rectangle's";

  // Drawing stops after the first line that reaches past the bottom.
  RECT twoLines{10, 100, 10 + narrow, 145};
  EXPECT_EQ(DrawTextW(canvas.dc(), L"aaa bbb ccc", -1, &twoLines, DT_WORDBREAK), 60);
  RECT unclipped{10, 100, 10 + narrow, 145};
  EXPECT_EQ(DrawTextW(canvas.dc(), L"aaa bbb ccc", -1, &unclipped, DT_WORDBREAK | DT_NOCLIP), 90);
}

TEST_F(TextTest, FlagsZeroBreakOnlyAtLineBreaks) {
  Canvas canvas(300, 200);
  SelectObject(canvas.dc(), font_);
  const int wide = calcWidth(canvas.dc(), L"one two three");
  RECT calc{0, 0, 20, 0};
  EXPECT_EQ(DrawTextW(canvas.dc(), L"one two three\r\nfour", -1, &calc, DT_CALCRECT), 60);
  EXPECT_EQ(calc.right, wide) << "no wrapping without DT_WORDBREAK";
  RECT lf{0, 0, 20, 0};
  EXPECT_EQ(DrawTextW(canvas.dc(), L"a\nb\r\n\r\nc\r\n", -1, &lf, DT_CALCRECT), 120);

  SetBkColor(canvas.dc(), RGB(255, 0, 0));
  RECT r{0, 0, 300, 200};
  EXPECT_EQ(DrawTextW(canvas.dc(), L"Enter a number\r\nsong details\r\nmore:", -1, &r, 0), 90);
  EXPECT_EQ(canvas.inkBounds().bottom, 90);
  EXPECT_EQ(canvas.at(0, 89), kRed);

  RECT single{0, 0, 300, 30};
  EXPECT_EQ(DrawTextW(canvas.dc(), L"a\r\nb", -1, &single, DT_SINGLELINE | DT_CALCRECT), 30);
  EXPECT_EQ(single.right, calcWidth(canvas.dc(), L"ab"));
}

TEST_F(TextTest, OpaqueFillsTheCellTransparentLeavesThePaper) {
  Canvas canvas(200, 60);
  SelectObject(canvas.dc(), font_);
  EXPECT_EQ(GetBkMode(canvas.dc()), OPAQUE) << "GDI's default";
  EXPECT_EQ(GetBkColor(canvas.dc()), RGB(255, 255, 255));
  EXPECT_EQ(GetTextColor(canvas.dc()), RGB(0, 0, 0));

  canvas.fill(RECT{0, 0, 200, 60}, RGB(0, 255, 0));
  SetBkColor(canvas.dc(), RGB(255, 252, 0));
  SetTextColor(canvas.dc(), RGB(0, 0, 255));
  RECT r{0, 0, 200, 60};
  DrawTextW(canvas.dc(), L"Help", -1, &r, 0);
  EXPECT_EQ(canvas.at(0, 0), 0xFFFC00u);
  EXPECT_EQ(canvas.at(0, 29), 0xFFFC00u);
  EXPECT_EQ(canvas.at(0, 30), kGreen) << "only the text cell, not the whole rectangle";
  EXPECT_GT(canvas.count(0x0000FF), 20) << "solid ink in the text colour";

  canvas.fill(RECT{0, 0, 200, 60}, RGB(0, 255, 0));
  EXPECT_EQ(SetBkMode(canvas.dc(), TRANSPARENT), OPAQUE);
  DrawTextW(canvas.dc(), L"Help", -1, &r, 0);
  EXPECT_EQ(canvas.count(0xFFFC00), 0);
  EXPECT_EQ(canvas.at(0, 0), kGreen);
  EXPECT_GT(canvas.count(0x0000FF), 20);
  // Anti-aliased edges mix ink and paper; nothing else appears.
  for (std::uint32_t p : canvas.surface().pixels) EXPECT_EQ(p & 0xFF0000u, 0u);
}

TEST_F(TextTest, ClipRegionLimitsTextEvenWithNoClip) {
  Canvas canvas(300, 60);
  SelectObject(canvas.dc(), font_);
  SetBkColor(canvas.dc(), RGB(255, 0, 0));
  HRGN region = CreateRectRgn(40, 0, 90, 60);
  SelectClipRgn(canvas.dc(), region);
  DeleteObject(region);
  // The marquee case: text starting left of its box, clipped to the box.
  RECT r{20, 5, 300, 35};
  DrawTextW(canvas.dc(), L"A very long artist name", -1, &r, DT_VCENTER | DT_NOCLIP);
  RECT ink = canvas.inkBounds();
  EXPECT_EQ(ink.left, 40);
  EXPECT_EQ(ink.right, 90);
  SelectClipRgn(canvas.dc(), nullptr);

  // Without a region, the formatting rectangle clips unless DT_NOCLIP.
  canvas.fill(RECT{0, 0, 300, 60}, RGB(255, 255, 255));
  RECT small{10, 5, 60, 35};
  DrawTextW(canvas.dc(), L"A very long artist name", -1, &small, 0);
  ink = canvas.inkBounds();
  EXPECT_EQ(ink.left, 10);
  EXPECT_EQ(ink.right, 60);
  DrawTextW(canvas.dc(), L"A very long artist name", -1, &small, DT_NOCLIP);
  EXPECT_GT(canvas.inkBounds().right, 60);
}

TEST_F(TextTest, PrefixCharactersAndEmptyText) {
  Canvas canvas(300, 60);
  SelectObject(canvas.dc(), font_);
  EXPECT_EQ(calcWidth(canvas.dc(), L"&Hi"), calcWidth(canvas.dc(), L"Hi"));
  EXPECT_EQ(calcWidth(canvas.dc(), L"A&&B"), calcWidth(canvas.dc(), L"A&B", DT_SINGLELINE | DT_NOPREFIX));
  EXPECT_GT(calcWidth(canvas.dc(), L"&Hi", DT_SINGLELINE | DT_NOPREFIX), calcWidth(canvas.dc(), L"Hi"));

  RECT r{5, 5, 100, 100};
  EXPECT_EQ(DrawTextW(canvas.dc(), L"", -1, &r, DT_CALCRECT), 30);
  EXPECT_EQ(r.right, 5);
  EXPECT_EQ(r.bottom, 5);
  RECT counted{0, 0, 300, 60};
  EXPECT_EQ(DrawTextW(canvas.dc(), L"abcdef", 3, &counted, DT_CALCRECT | DT_SINGLELINE), 30);
  EXPECT_EQ(counted.right, calcWidth(canvas.dc(), L"abc"));
}

// Line breaking with every character 10 pixels wide.
std::vector<std::wstring> Lines(const wchar_t* text, UINT format, int width) {
  const MeasureFunction measure = [](std::wstring_view run) { return static_cast<int>(run.size()) * 10; };
  std::vector<std::wstring> out;
  for (const TextLine& line : LayoutText(text, format, width, measure)) out.push_back(line.text);
  return out;
}

TEST(TextLayout, WrapsAtBlanksAndCutsLongWords) {
  using V = std::vector<std::wstring>;
  EXPECT_EQ(Lines(L"aaa bbb ccc", DT_WORDBREAK, 65), (V{L"aaa", L"bbb", L"ccc"}));
  EXPECT_EQ(Lines(L"aaa bbb ccc", DT_WORDBREAK, 70), (V{L"aaa bbb", L"ccc"}));
  EXPECT_EQ(Lines(L"aaa   bbb  ", DT_WORDBREAK, 50), (V{L"aaa", L"bbb"}));
  EXPECT_EQ(Lines(L"abcdefghij x", DT_WORDBREAK, 40), (V{L"abcd", L"efgh", L"ij x"}));
  EXPECT_EQ(Lines(L"ab", DT_WORDBREAK, 0), (V{L"a", L"b"}));
  EXPECT_EQ(Lines(L"one two\r\n\r\nthree", DT_WORDBREAK, 1000), (V{L"one two", L"", L"three"}));
  EXPECT_EQ(Lines(L"one two\r\nthree\r\n", 0, 10), (V{L"one two", L"three"}));
  EXPECT_EQ(Lines(L"a\rb\nc", 0, 10), (V{L"a", L"b", L"c"}));
  EXPECT_EQ(Lines(L"a\r\nb", DT_SINGLELINE | DT_WORDBREAK, 10), (V{L"ab"}));
  const MeasureFunction measure = [](std::wstring_view run) { return static_cast<int>(run.size()) * 10; };
  const auto prefixed = LayoutText(L"Save &As", DT_SINGLELINE, 100, measure);
  ASSERT_EQ(prefixed.size(), 1u);
  EXPECT_EQ(prefixed[0].text, L"Save As");
  EXPECT_EQ(prefixed[0].underline, 5);
  EXPECT_EQ(prefixed[0].width, 70);
}

}  // namespace
