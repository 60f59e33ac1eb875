// The history list as the user meets it, with tag files in the data folder:
// which tags are listed and in what order, the highlight and the lines
// between rows, moving and wrapping, the sideways scroll of a long line, the
// Options menu, deleting, and damaged files. At 240 x 320 and 480 x 640.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/screen/look.h"
#include "app/state.h"
#include "platform/gdi/gdi.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"
#include "screens/result_screen.h"
#include "tags/history_screen.h"
#include "tags/tag_store.h"
#include "tests/support/headless_app.h"

namespace {

constexpr std::uint32_t kWhitePixel = 0xFFFFFF;
constexpr std::uint32_t kBlackPixel = 0x000000;
constexpr std::uint32_t kHighlightPixel = 0xFFFC00;  // RGB(255, 252, 0)
constexpr int kBannerHeight = 43;
constexpr int kRowHeight = 40;

struct Size {
  int width;
  int height;
};

std::string Utf16(const std::wstring& text) {
  std::string bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  return bytes + std::string(2, '\0');
}

// The bytes of a tag file, as the store writes them.
std::string TagBytes(const std::wstring& artist, const std::wstring& title) {
  std::string bytes = Utf16(L"Album") + Utf16(artist) + Utf16(title);
  for (const char* field : {"null", "null", "Listen!", "null", "null"}) bytes += std::string(field) + '\0';
  return bytes;
}

class History : public ::testing::TestWithParam<Size> {
 protected:
  void SetUp() override {
    HeadlessApp::Options options;
    options.width = W();
    options.height = H();
    app = std::make_unique<HeadlessApp>(options);
    ASSERT_TRUE(app->started());
    app->skipSplash();
  }

  int W() const { return GetParam().width; }
  int H() const { return GetParam().height; }
  int visibleRows() const { return (H() - kBannerHeight - 55) / (kRowHeight + 1); }
  int rowTop(int row) const { return kBannerHeight + row * (kRowHeight + 1); }

  void writeFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(app->home() / name, std::ios::binary) << bytes;
  }
  void writeTag(int number, const std::wstring& artist = L"Artist", const std::wstring& title = L"Song") const {
    writeFile(std::to_string(number) + ".dat", TagBytes(artist, title));
  }
  bool exists(const std::string& name) const { return std::filesystem::exists(app->home() / name); }

  // "manage IDs" in the main menu.
  void open() {
    app->key(VK_DOWN);
    app->key(VK_RETURN);
    ASSERT_EQ(app->screen(), SCREEN_HISTORY);
  }
  HistoryScreen& history() const { return *static_cast<HistoryScreen*>(g_apScreens[SCREEN_HISTORY]); }

  std::vector<int> listedNumbers() const {
    std::vector<int> numbers;
    for (int p = 0; p < history().count(); ++p) numbers.push_back(history().listed(p).tagNumber);
    return numbers;
  }

  ::testing::AssertionResult Filled(std::uint32_t colour, int left, int top, int right, int bottom) const {
    for (int y = top; y < bottom; ++y)
      for (int x = left; x < right; ++x)
        if (app->pixel(x, y) != colour)
          return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << std::hex << app->pixel(x, y);
    return ::testing::AssertionSuccess();
  }
  // Dark text somewhere in the rectangle.
  bool Inked(int left, int top, int right, int bottom) const {
    for (int y = top; y < bottom; ++y)
      for (int x = left; x < right; ++x)
        if ((app->pixel(x, y) & 0xFF) < 0x80 && ((app->pixel(x, y) >> 16) & 0xFF) < 0x80) return true;
    return false;
  }
  // Screen row `row` is the highlighted one: filled down to the line below,
  // as the left edge, the gap between date and title, and that line show.
  ::testing::AssertionResult Highlighted(int row) const {
    const int top = rowTop(row);
    auto edge = Filled(kHighlightPixel, 0, top, 4, top + kRowHeight + 1);
    if (!edge) return edge;
    auto gap = Filled(kHighlightPixel, 90, top, 91, top + kRowHeight + 1);
    if (!gap) return gap;
    return Filled(kHighlightPixel, 0, top + kRowHeight, W(), top + kRowHeight + 1);
  }
  // A plain row: a highlight-coloured line across its top, white below it.
  ::testing::AssertionResult Plain(int row) const {
    const int top = rowTop(row);
    auto line = Filled(kHighlightPixel, 0, top, W(), top + 1);
    if (!line) return line;
    return Filled(kWhitePixel, 0, top + 1, 4, top + kRowHeight);
  }

  std::unique_ptr<HeadlessApp> app;
};

TEST_P(History, ListsTheTenNewestOfElevenTagFilesNewestFirst) {
  for (int n = 0; n <= 10; ++n) writeTag(n);
  open();
  EXPECT_EQ(history().rowHeight(), kRowHeight);
  EXPECT_EQ(history().visibleRows(), visibleRows());
  EXPECT_EQ(listedNumbers(), (std::vector<int>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));

  const int shown = std::min(10, visibleRows());
  EXPECT_TRUE(Highlighted(0));
  for (int row = 1; row < shown; ++row) EXPECT_TRUE(Plain(row)) << "row " << row;
  for (int row = 0; row < shown; ++row) {
    EXPECT_TRUE(Inked(0, rowTop(row) + 1, 90, rowTop(row) + kRowHeight)) << "date of row " << row;
    EXPECT_TRUE(Inked(91, rowTop(row) + 1, W(), rowTop(row) + kRowHeight)) << "title of row " << row;
  }
  // Below the last row: nothing.
  EXPECT_TRUE(Filled(kWhitePixel, 0, rowTop(shown), W(), H() - 55));
  EXPECT_NE(history().listed(0).created.dwHighDateTime, 0u);
}

TEST_P(History, SkipsGapsDamagedFilesAndNamesWithoutANumber) {
  for (int n : {2, 5, 9, 13}) writeTag(n);
  writeFile("11.dat", Utf16(L"Album") + Utf16(L"Artist"));  // cut short after two fields
  writeFile("12.dat", "");
  writeFile("notes.dat", TagBytes(L"Someone", L"Something"));
  writeFile("-4.dat", TagBytes(L"Someone", L"Something"));
  open();
  EXPECT_EQ(listedNumbers(), (std::vector<int>{13, 9, 5, 2}));
  EXPECT_TRUE(Highlighted(0));
  for (int row = 1; row < 4; ++row) EXPECT_TRUE(Plain(row));
  EXPECT_TRUE(Filled(kWhitePixel, 0, rowTop(4), W(), H() - 55));

  // Moving and deleting around them works as usual; the damaged files stay.
  app->key(VK_UP);
  EXPECT_EQ(history().cursor(), 3);
  app->key(VK_F2);
  app->key(VK_DOWN);
  app->key(VK_RETURN);
  EXPECT_FALSE(exists("2.dat"));
  EXPECT_EQ(listedNumbers(), (std::vector<int>{13, 9, 5}));
  EXPECT_TRUE(exists("11.dat") && exists("12.dat") && exists("notes.dat"));
}

TEST_P(History, UpFromTheTopShowsTheOldestOnTheLastPageAndDownWrapsBack) {
  for (int n = 1; n <= 10; ++n) writeTag(n);
  open();
  app->key(VK_UP);
  const int firstVisible = std::max(0, 10 - visibleRows());
  EXPECT_EQ(history().cursor(), 9);
  EXPECT_EQ(history().firstVisible(), firstVisible);
  EXPECT_EQ(history().listed(9).tagNumber, 1);
  EXPECT_TRUE(Highlighted(9 - firstVisible));
  EXPECT_TRUE(Plain(0));

  app->key(VK_DOWN);
  EXPECT_EQ(history().cursor(), 0);
  EXPECT_EQ(history().firstVisible(), 0);
  EXPECT_TRUE(Highlighted(0));

  // Down past the last visible row scrolls the list by one.
  for (int i = 0; i < visibleRows(); ++i) app->key(VK_DOWN);
  EXPECT_EQ(history().firstVisible(), visibleRows() < 10 ? 1 : 0);

  app->key(VK_ESCAPE);
  EXPECT_EQ(app->screen(), SCREEN_MAIN_MENU);
}

TEST_P(History, ALongLineRestsThenStepsToItsEndAndJumpsBackWithoutBlocking) {
  writeTag(1, L"The Unbelievably Long-Named Orchestra", L"An Equally Long Title");
  open();
  const RECT box{91, rowTop(0) + 1, W(), rowTop(0) + kRowHeight};
  auto titleColumn = [&](int x) {
    std::vector<std::uint32_t> column;
    for (int y = box.top; y < box.bottom; ++y) column.push_back(app->pixel(x, y));
    return column;
  };
  std::vector<std::vector<std::uint32_t>> still;
  for (int x = box.left; x < box.right; ++x) still.push_back(titleColumn(x));

  // The first pause, then a one-second rest that leaves the clock and the
  // keys to the rest of the program.
  const std::uint64_t start = VirtualNowMs();
  app->wait(100);
  EXPECT_EQ(VirtualNowMs() - start, 100u);
  EXPECT_EQ(history().marqueeOffset(), 0);
  const int overflow = history().marqueeOverflow();
  ASSERT_GT(overflow, 10);
  app->wait(1199);
  EXPECT_EQ(VirtualNowMs() - start, 1299u);
  EXPECT_EQ(history().marqueeOffset(), 0);
  app->wait(1);
  EXPECT_EQ(history().marqueeOffset(), 3);
  for (int x = box.left; x + 3 < box.right; ++x)
    ASSERT_EQ(titleColumn(x), still[x + 3 - box.left]) << "column " << x;
  EXPECT_TRUE(Highlighted(0));  // the date column does not move
  EXPECT_EQ(titleColumn(box.left - 1), std::vector<std::uint32_t>(box.bottom - box.top, kHighlightPixel));

  // 3 pixels every 200 ms until the end of the line shows, a pause there,
  // then back to the start.
  const int steps = overflow / 3 + 1;
  app->wait(200 * (steps - 1));
  EXPECT_EQ(history().marqueeOffset(), 3 * steps);
  app->wait(999);
  EXPECT_EQ(history().marqueeOffset(), 3 * steps);
  app->wait(1);
  EXPECT_EQ(history().marqueeOffset(), 0);
  for (int x = box.left; x < box.right; ++x) ASSERT_EQ(titleColumn(x), still[x - box.left]);

  // A key during the rest is answered at once and starts the cycle over.
  app->wait(500);
  app->key(VK_F2);
  EXPECT_TRUE(history().menuOpen());
  app->wait(3000);
  EXPECT_EQ(history().marqueeOffset(), 0);
}

TEST_P(History, TextIsDrawnAsItIsAmpersandsIncluded) {
  writeTag(1, L"A&B", L"C");
  open();
  // The same text drawn with no mnemonic processing, on the highlight.
  HDC scratch = CreateCompatibleDC(g_hdcBack);
  HBITMAP bitmap = CreateCompatibleBitmap(g_hdcBack, W(), kRowHeight);
  HGDIOBJ previousBitmap = SelectObject(scratch, bitmap);
  const FontHandle font = CreatePageFont(kRowHeight);
  HGDIOBJ previousFont = SelectObject(scratch, font.get());
  const HBRUSH brush = CreateSolidBrush(kHighlight);
  RECT all{0, 0, W(), kRowHeight};
  FillRect(scratch, &all, brush);
  SetBkColor(scratch, kHighlight);
  RECT box{91, 1, W(), kRowHeight};
  DrawTextW(scratch, L"A&B - C", -1, &box, DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  const Surface& expected = *GetBitmapSurface(bitmap);
  int differing = 0;
  for (int y = 1; y < kRowHeight; ++y)
    for (int x = 91; x < W(); ++x) differing += (expected.at(x, y) & 0xFFFFFF) != app->pixel(x, rowTop(0) + y);
  EXPECT_EQ(differing, 0);
  SelectObject(scratch, previousFont);
  SelectObject(scratch, previousBitmap);
  DeleteObject(brush);
  DeleteObject(bitmap);
  DeleteDC(scratch);
}

TEST_P(History, OptionsMenuHasThreeEntriesOverAListAndOneOverNone) {
  writeTag(1);
  open();
  app->key(VK_F2);
  ASSERT_TRUE(history().menuOpen());
  const int entry = kRowHeight + 4;
  const int bottom = H() - 55;
  const int top = bottom - 3 * entry;
  const int left = W() - 200;
  EXPECT_TRUE(Filled(kBlackPixel, left - 3, top - 3, W(), top));
  EXPECT_TRUE(Filled(kBlackPixel, left - 3, top, left, bottom + 1));
  EXPECT_TRUE(Filled(kBlackPixel, left, bottom, W(), bottom + 1));
  for (int i = 0; i < 3; ++i) {
    const RECT& r = history().menuEntryRect(i);
    EXPECT_EQ(r.top, top + i * entry);
    EXPECT_TRUE(Inked(r.left, r.top, r.right, r.bottom)) << "entry " << i;
  }
  EXPECT_TRUE(Filled(kHighlightPixel, left, top, left + 4, top + entry));
  EXPECT_TRUE(Filled(kWhitePixel, left, top + entry, left + 4, bottom));
  app->key(VK_UP);  // wraps to "New ID!"
  EXPECT_EQ(history().menuSelection(), 2);
  EXPECT_TRUE(Filled(kHighlightPixel, left, top + 2 * entry, left + 4, bottom));
  app->key(VK_ESCAPE);  // not a menu key
  EXPECT_TRUE(history().menuOpen());
  app->key(VK_F1);
  EXPECT_FALSE(history().menuOpen());
  EXPECT_TRUE(Highlighted(0));

  // Deleting the only tag: an empty list and "New ID!" alone, which starts
  // a recording that comes back here.
  app->key(VK_F2);
  app->key(VK_DOWN);  // from "New ID!" round to "ID Info", then "Delete ID"
  app->key(VK_DOWN);
  app->key(VK_RETURN);
  EXPECT_FALSE(exists("1.dat"));
  EXPECT_EQ(history().count(), 0);
  EXPECT_FALSE(history().menuOpen());
  EXPECT_TRUE(Filled(kWhitePixel, 0, kBannerHeight, W(), bottom));
  app->key(VK_RETURN);  // nothing to open
  EXPECT_EQ(app->screen(), SCREEN_HISTORY);
  app->key(VK_F2);
  EXPECT_EQ(history().menuEntryCount(), 1);
  EXPECT_TRUE(Filled(kBlackPixel, left - 3, bottom - entry - 3, W(), bottom - entry));
  EXPECT_TRUE(Filled(kHighlightPixel, left, bottom - entry, left + 4, bottom));
  EXPECT_TRUE(Filled(kWhitePixel, left - 4, kBannerHeight, left - 3, bottom));
  app->tap(W() - 100, bottom - entry / 2);
  EXPECT_EQ(app->screen(), SCREEN_LISTENING);
  EXPECT_EQ(g_anBackStack[g_nBackTop], SCREEN_HISTORY);
}

TEST_P(History, DeleteRemovesTheTagAndItsArtAndKeepsTheCounter) {
  for (int n : {3, 4, 5}) {
    writeTag(n);
    writeFile(std::to_string(n) + ".jpg", "JPEG");
  }
  const std::string counter("\x06\x00\x00\x00", 4);
  writeFile("nexttag.num", counter);
  open();
  app->key(VK_DOWN);  // tag 4
  app->key(VK_F2);
  app->key(VK_DOWN);
  app->key(VK_RETURN);
  EXPECT_FALSE(exists("4.dat"));
  EXPECT_FALSE(exists("4.jpg"));
  EXPECT_TRUE(exists("5.jpg") && exists("3.jpg"));
  EXPECT_EQ(ReadFile(app->home() / "nexttag.num"), counter);
  EXPECT_EQ(listedNumbers(), (std::vector<int>{5, 3}));
  EXPECT_EQ(history().cursor(), 0);
  EXPECT_EQ(app->screen(), SCREEN_HISTORY);
  EXPECT_EQ(nextTagNumber(), 6);
}

TEST_P(History, DeletingKeepsTheScrollButNeverHidesTheHighlight) {
  for (int n = 1; n <= 10; ++n) writeTag(n);
  open();
  app->key(VK_UP);  // the oldest, on the last page
  for (int i = 1; i < visibleRows() && i < 10; ++i) app->key(VK_UP);
  const int firstVisible = history().firstVisible();
  ASSERT_EQ(history().cursor(), firstVisible);
  app->key(VK_F2);
  app->key(VK_DOWN);
  app->key(VK_RETURN);
  EXPECT_EQ(history().count(), 9);
  EXPECT_EQ(history().cursor(), std::max(0, firstVisible - 1));
  EXPECT_EQ(history().firstVisible(), history().cursor());
  EXPECT_TRUE(Highlighted(0));

  // A window that grows shorter keeps the highlighted row in view too.
  for (int i = 0; i < 10 && history().cursor() != 8; ++i) app->key(VK_DOWN);  // the oldest
  app->resize(W(), 240);
  EXPECT_EQ(history().visibleRows(), 3);
  EXPECT_EQ(history().firstVisible(), 6);
  EXPECT_TRUE(Highlighted(2));
}

TEST_P(History, AnEmptyRowLeftByADeleteIsNoTarget) {
  for (int n = 1; n <= 10; ++n) writeTag(n);
  open();
  app->key(VK_UP);  // the oldest, on the last page
  app->key(VK_F2);
  app->key(VK_DOWN);
  app->key(VK_RETURN);  // delete it: the scroll stays, the last row empties
  const int emptyRow = 9 - history().firstVisible();
  ASSERT_EQ(history().count(), 9);
  ASSERT_LT(emptyRow, visibleRows());
  EXPECT_TRUE(Filled(kWhitePixel, 0, rowTop(emptyRow), W(), rowTop(emptyRow) + kRowHeight));
  app->tap(20, rowTop(emptyRow) + 20);
  EXPECT_EQ(app->screen(), SCREEN_HISTORY);
  EXPECT_EQ(history().cursor(), 8);
  app->key(VK_F2);
  app->key(VK_RETURN);  // "Delete ID" again: still the highlighted tag
  EXPECT_EQ(history().count(), 8);
  EXPECT_FALSE(exists("2.dat"));
}

TEST_P(History, TappingARowWithDeleteHighlightedDeletesTheTappedTag) {
  for (int n : {1, 2, 3}) writeTag(n);
  open();
  app->key(VK_F2);
  app->key(VK_DOWN);
  app->tap(20, rowTop(2) + 20);  // tag 1, left of the menu
  EXPECT_FALSE(exists("1.dat"));
  EXPECT_TRUE(exists("2.dat") && exists("3.dat"));
  EXPECT_EQ(listedNumbers(), (std::vector<int>{3, 2}));
  EXPECT_FALSE(history().menuOpen());
  EXPECT_EQ(history().cursor(), 1);
  // A tap below the last row is no row.
  app->tap(20, rowTop(3) + 20);
  EXPECT_EQ(listedNumbers(), (std::vector<int>{3, 2}));
  EXPECT_EQ(app->screen(), SCREEN_HISTORY);
}

TEST_P(History, OpensATagOnTheResultPageAndComesBack) {
  writeTag(1, L"First Artist", L"First Song");
  writeTag(2, L"Second Artist", L"Second Song");
  open();
  auto shown = [] { return static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->record(); };
  auto headerShown = [&] {
    // "ID Success!", centred: the part of it inside the window.
    for (int sx = std::max(0, W() / 2 - 160); sx < std::min(W(), W() / 2 + 160); sx += 7)
      for (int y = 0; y < kBannerHeight; y += 5)
        if (app->pixel(sx, y) != GifPixel(144, sx - (W() / 2 - 160), y)) return false;
    return true;
  };

  app->key(VK_DOWN);
  app->key(VK_RETURN);
  ASSERT_EQ(app->screen(), SCREEN_RESULT);
  ASSERT_NE(shown(), nullptr);
  EXPECT_EQ(shown()->tagNumber, 1);
  EXPECT_EQ(std::wstring(shown()->artist), L"First Artist");
  EXPECT_TRUE(headerShown());
  app->key(VK_F1);
  ASSERT_EQ(app->screen(), SCREEN_HISTORY);
  EXPECT_EQ(history().cursor(), 0);
  EXPECT_TRUE(Highlighted(0));

  app->key(VK_F2);  // "ID Info"
  app->key(VK_RETURN);
  ASSERT_EQ(app->screen(), SCREEN_RESULT);
  EXPECT_EQ(shown()->tagNumber, 2);
  app->key(VK_ESCAPE);
  ASSERT_EQ(app->screen(), SCREEN_HISTORY);
  EXPECT_FALSE(history().menuOpen());

  app->tap(20, rowTop(1) + 20);
  ASSERT_EQ(app->screen(), SCREEN_RESULT);
  EXPECT_EQ(shown()->tagNumber, 1);
  EXPECT_TRUE(exists("1.dat") && exists("2.dat"));
  app->key(VK_F1);
  app->key(VK_F1);
  EXPECT_EQ(app->screen(), SCREEN_MAIN_MENU);
}

INSTANTIATE_TEST_SUITE_P(Sizes, History, ::testing::Values(Size{240, 320}, Size{480, 640}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

}  // namespace
