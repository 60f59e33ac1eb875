// Fonts and text: cell heights, faces by family, pitch and weight, the sizes
// DrawTextW reports, line breaking, and a page of alignments, clipping and
// background modes compared whole with its reference rendering.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "platform/gdi/text_layout.h"
#include "tests/platform/gdi/canvas.h"
#include "tests/support/reference_image.h"

namespace {

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

TEST(GdiFont, CellHeightsAndFaces) {
  for (LONG height : {30, 40, 29, 12, -20}) {
    SCOPED_TRACE(height);
    Canvas canvas(300, 60);
    SelectObject(canvas.dc(), MakeFont(height));
    TEXTMETRICW tm{};
    ASSERT_TRUE(GetTextMetricsW(canvas.dc(), &tm));
    SIZE extent{};
    GetTextExtentPoint32W(canvas.dc(), L"Hg", 2, &extent);
    EXPECT_EQ(extent.cy, tm.tmHeight);
    EXPECT_EQ(tm.tmAscent + tm.tmDescent, tm.tmHeight);
    if (height < 0) {
      EXPECT_EQ(tm.tmHeight - tm.tmInternalLeading, 20) << "a negative height is the character height";
      EXPECT_LT(tm.tmHeight, 26);
      continue;
    }
    EXPECT_EQ(tm.tmHeight, height) << "a positive height is the cell height";
    RECT r{0, 10, 300, 10 + height};
    SetBkMode(canvas.dc(), TRANSPARENT);
    EXPECT_EQ(DrawTextW(canvas.dc(), L"\u00C9gjpqy|", -1, &r, DT_NOCLIP), height);
    const RECT ink = canvas.inkBounds();
    EXPECT_TRUE(ink.top >= 10 && ink.bottom <= 10 + height) << "accents and descenders stay in the cell";
    EXPECT_GT(ink.bottom, 10 + tm.tmAscent) << "descenders below the baseline";
  }
  EXPECT_EQ(MakeFont(1000000), nullptr);
  EXPECT_EQ(CreateFontIndirectW(nullptr), nullptr);

  Canvas canvas(1, 1);
  const auto width = [&](BYTE pitchAndFamily, LONG weight, const wchar_t* text) {
    SelectObject(canvas.dc(), MakeFont(30, pitchAndFamily, weight));
    return Extent(canvas.dc(), text);
  };
  const BYTE swiss = VARIABLE_PITCH | FF_SWISS;
  EXPECT_LT(width(swiss, FW_NORMAL, L"iiii"), width(swiss, FW_NORMAL, L"WWWW"));
  EXPECT_EQ(width(FIXED_PITCH, FW_NORMAL, L"iiii"), width(FIXED_PITCH, FW_NORMAL, L"WWWW"));
  EXPECT_EQ(width(FF_MODERN, FW_NORMAL, L"iiii"), width(FF_MODERN, FW_NORMAL, L"WWWW"));
  EXPECT_GT(width(swiss, 600, L"Melodex"), width(swiss, 599, L"Melodex")) << "600 and up is bold";
  EXPECT_NE(width(VARIABLE_PITCH | FF_ROMAN, FW_NORMAL, L"Melodex"), width(swiss, FW_NORMAL, L"Melodex"));
}

// What DrawTextW returns, and the rectangle DT_CALCRECT leaves: its right
// edge at left + the extent of `widthOf`, its bottom at `bottom` (when >= 0).
struct Case {
  const wchar_t* text;
  int count;
  RECT rect;
  UINT format;
  int returns;
  const wchar_t* widthOf;
  LONG bottom;
};

TEST(GdiText, ReportedHeightsAndCalculatedRectangles) {
  Canvas canvas(300, 200), blank(300, 200);
  SelectObject(canvas.dc(), MakeFont(30));
  SelectObject(blank.dc(), MakeFont(30));
  const HDC dc = canvas.dc();
  const LONG narrow = std::max(Extent(dc, L"aaa"), Extent(dc, L"bbb")) + 5;
  const Case cases[] = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(std::wstring(c.text) + L" format " + std::to_wstring(c.format));
    RECT r = c.rect;
    EXPECT_EQ(DrawTextW(c.format & DT_CALCRECT ? blank.dc() : dc, c.text, c.count, &r, c.format), c.returns);
    EXPECT_EQ(r.right, c.widthOf ? r.left + Extent(dc, c.widthOf) : r.right);
    EXPECT_EQ(r.bottom, c.bottom >= 0 ? c.bottom : r.bottom);
  }
  EXPECT_EQ(blank.inkBounds().right, 0) << "DT_CALCRECT draws nothing";
}

void Draw(HDC dc, const wchar_t* text, RECT r, UINT format) { DrawTextW(dc, text, -1, &r, format); }

TEST(GdiText, APageOfAlignmentsClipsAndModesMatchesItsReference) {
  Canvas canvas(300, 330);
  const HDC dc = canvas.dc();
  SelectObject(dc, MakeFont(30));
  EXPECT_EQ(GetBkMode(dc), OPAQUE) << "GDI's default";
  SetBkColor(dc, RGB(255, 0, 0));  // the cell shows where each line went
  Draw(dc, L"Select", {20, 0, 220, 60}, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  Draw(dc, L"Save &As", {120, 0, 300, 40}, DT_SINGLELINE | DT_RIGHT);
  Draw(dc, L"Artist:", {0, 60, 200, 100}, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
  Draw(dc, L"x", {200, 60, 300, 130}, DT_BOTTOM | DT_SINGLELINE);
  Draw(dc, L"Top", {0, 100, 100, 170}, DT_VCENTER);  // vertical centring needs DT_SINGLELINE
  const LONG narrow = std::max(Extent(dc, L"aaa"), Extent(dc, L"bbb")) + 5;
  Draw(dc, L"aaa bbb ccc", {10, 170, 10 + narrow, 235}, DT_WORDBREAK);  // cut at the bottom
  Draw(dc, L"one\r\ntwo\nthree", {120, 130, 300, 230}, 0);

  canvas.fill(RECT{0, 240, 150, 280}, RGB(0, 255, 0));
  SetBkColor(dc, RGB(255, 252, 0));
  SetTextColor(dc, RGB(0, 0, 255));
  Draw(dc, L"Help", {0, 240, 150, 280}, 0);  // only the text cell is filled
  EXPECT_EQ(SetBkMode(dc, TRANSPARENT), OPAQUE);
  Draw(dc, L"Help", {80, 240, 150, 280}, 0);
  SetBkMode(dc, OPAQUE);
  SetTextColor(dc, RGB(0, 0, 0));
  HRGN region = CreateRectRgn(190, 240, 250, 280);  // the marquee: clipped to its box
  SelectClipRgn(dc, region);
  DeleteObject(region);
  Draw(dc, L"A very long artist name", {170, 245, 300, 275}, DT_VCENTER | DT_NOCLIP);
  SelectClipRgn(dc, nullptr);
  Draw(dc, L"A long name", {0, 290, 60, 320}, 0);  // the formatting rectangle clips...
  Draw(dc, L"A long name", {150, 290, 200, 320}, DT_NOCLIP);  // ...unless DT_NOCLIP
  EXPECT_TRUE(MatchesReference(canvas.surface(), "platform/reference/gdi-text.png"));
}

// Line breaking with every character 10 pixels wide.
std::vector<std::wstring> Lines(const wchar_t* text, UINT format, int width) {
  std::vector<std::wstring> out;
  for (const TextLine& line : LayoutText(text, format, width, [](std::wstring_view run) { return int(run.size()) * 10; }))
    out.push_back(line.text + (line.underline >= 0 ? L" _" + std::to_wstring(line.underline) : L""));
  return out;
}

TEST(TextLayout, WrapsAtBlanksCutsLongWordsAndMarksTheUnderline) {
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
  EXPECT_EQ(Lines(L"Save &As", DT_SINGLELINE, 100), (V{L"Save As _5"}));
}

}  // namespace
