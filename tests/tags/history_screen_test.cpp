// The history list as the user meets it, with tag files in the data folder:
// which tags are listed and in what order, the highlight, moving and
// wrapping, the sideways scroll of a long line, the Options menu, deleting,
// and opening a tag on the result page.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/screen/look.h"
#include "platform/window/headless.h"
#include "screens/result_screen.h"
#include "tags/history_screen.h"
#include "tags/tag_store.h"
#include "tests/support/client_fixture.h"
#include "tests/support/reference_image.h"

namespace {

constexpr std::uint32_t kHighlightPixel = 0xFFFC00;

std::string Utf16(const std::wstring& text) {
  std::string bytes;
  for (wchar_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  return bytes + std::string(2, '\0');
}

class History : public ClientTest {
 protected:
  // Tag files as the store writes them.
  void writeTag(int number, const std::wstring& artist = L"Band & Co", std::wstring title = L"") const {
    if (title.empty()) title = L"Song " + std::to_wstring(number);
    std::string bytes = Utf16(L"Album") + Utf16(artist) + Utf16(title);
    for (const char* field : {"null", "null", "Listen!", "null", "null"}) bytes += std::string(field) + '\0';
    writeFile(std::to_string(number) + ".dat", bytes);
  }
  void writeFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(app_->home() / name, std::ios::binary) << bytes;
  }
  bool exists(const std::string& name) const { return std::filesystem::exists(app_->home() / name); }
  // "manage IDs" in the main menu.
  void open() {
    app_->key(VK_DOWN);
    app_->key(VK_RETURN);
    ASSERT_EQ(app_->screen(), SCREEN_HISTORY);
  }
  HistoryScreen& history() const { return page<HistoryScreen>(SCREEN_HISTORY); }
  std::vector<int> listed() const {
    std::vector<int> numbers;
    for (int p = 0; p < history().count(); ++p) numbers.push_back(history().listed(p).tagNumber);
    return numbers;
  }
  static int rowTop(int row) { return 43 + row * 41; }
  bool highlighted(int row) const { return app_->pixel(2, rowTop(row) + 20) == kHighlightPixel; }
  // The window against a reference, with each row's date painted over: the
  // dates are the days the files were made.
  ::testing::AssertionResult LooksUndated(const std::string& name) const {
    Surface shown = app_->pixels();
    for (int row = 0; row < history().visibleRows() && history().firstVisible() + row < history().count(); ++row)
      for (int y = rowTop(row) + 1; y < rowTop(row) + 40; ++y)
        for (int x = 0; x < 90; ++x) shown.pixels[y * shown.width + x] = 0xFF00FF;
    return MatchesReference(shown, "tags/reference/" + name + "-" + std::to_string(W()) + "x" +
                                       std::to_string(H()) + ".png");
  }
};

struct Size {
  int width, height;
};
class HistorySizes : public History, public ::testing::WithParamInterface<Size> {};

TEST_P(HistorySizes, ListsTheTenNewestTagsThatLoadAndWrapsItsHighlight) {
  start(GetParam().width, GetParam().height);
  for (int n : {0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 13}) writeTag(n);
  writeFile("11.dat", Utf16(L"Album") + Utf16(L"Artist"));  // cut short after two fields
  writeFile("12.dat", "");
  writeFile("notes.dat", std::string(11, '\0'));
  writeFile("-4.dat", std::string(11, '\0'));
  open();
  EXPECT_EQ(listed(), (std::vector<int>{13, 10, 9, 8, 7, 6, 5, 3, 2, 1}));
  EXPECT_TRUE(LooksUndated("history"));
  int dateInk = 0;
  for (int y = rowTop(0) + 1; y < rowTop(0) + 40; ++y)
    for (int x = 0; x < 90; ++x) dateInk += app_->pixel(x, y) < 0x808080;
  EXPECT_GT(dateInk, 20) << "the date of the first row";
  EXPECT_NE(history().listed(0).created.dwHighDateTime, 0u);

  // Up from the top shows the oldest on the last page; Down wraps back.
  const int visible = (H() - 43 - 55) / 41;
  app_->key(VK_UP);
  EXPECT_EQ(history().cursor(), 9);
  EXPECT_EQ(history().firstVisible(), std::max(0, 10 - visible));
  EXPECT_TRUE(highlighted(9 - history().firstVisible()));
  app_->key(VK_DOWN);
  EXPECT_EQ(history().firstVisible(), 0);
  EXPECT_TRUE(highlighted(0));
  for (int i = 0; i < visible; ++i) app_->key(VK_DOWN);
  EXPECT_EQ(history().firstVisible(), visible < 10 ? 1 : 0) << "Down past the last row scrolls by one";

  // The Options menu: three entries; Up wraps; only its own keys act.
  for (int i = 0; i < visible; ++i) app_->key(VK_UP);
  app_->key(VK_F2);
  ASSERT_TRUE(history().menuOpen());
  EXPECT_TRUE(LooksUndated("history-menu"));
  app_->key(VK_UP);
  EXPECT_EQ(history().menuSelection(), 2);
  EXPECT_EQ(app_->pixel(W() - 198, H() - 57), kHighlightPixel) << "\"New ID!\" highlighted";
  app_->key(VK_ESCAPE);
  EXPECT_TRUE(history().menuOpen());
  app_->key(VK_F1);
  EXPECT_FALSE(history().menuOpen());
  EXPECT_TRUE(LooksUndated("history"));
  app_->key(VK_ESCAPE);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HistorySizes, ::testing::Values(Size{240, 320}, Size{480, 640}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

TEST_F(History, DeletingKeepsTheCounterTheArtOfOthersAndTheHighlightInView) {
  start();
  for (int n = 1; n <= 10; ++n) {
    writeTag(n);
    writeFile(std::to_string(n) + ".jpg", "JPEG");
  }
  writeFile("nexttag.num", std::string("\x0B\0\0\0", 4));
  open();
  // "Delete ID" highlighted, a tapped row is deleted.
  app_->key(VK_F2);
  app_->key(VK_DOWN);
  app_->tap(20, rowTop(2) + 20);
  EXPECT_FALSE(exists("8.dat") || exists("8.jpg"));
  EXPECT_TRUE(exists("7.jpg") && exists("9.jpg"));
  EXPECT_EQ(listed(), (std::vector<int>{10, 9, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_FALSE(history().menuOpen());
  EXPECT_EQ(history().cursor(), 1);
  EXPECT_EQ(app_->screen(), SCREEN_HISTORY);

  // The oldest, on the last page: its row empties, keeps the scroll, and is no target.
  app_->key(VK_UP);
  app_->key(VK_UP);
  app_->key(VK_F2);
  app_->key(VK_RETURN);
  ASSERT_EQ(history().count(), 8);
  EXPECT_EQ(history().firstVisible(), 4);
  for (int x = 0; x < 240; ++x) ASSERT_EQ(app_->pixel(x, rowTop(4) + 20), 0xFFFFFFu) << x;
  app_->tap(20, rowTop(4) + 20);
  EXPECT_EQ(history().cursor(), 7);
  app_->key(VK_F2);
  app_->key(VK_RETURN);  // "Delete ID" again: the highlighted tag
  EXPECT_FALSE(exists("2.dat"));

  // Deleting the first row shown moves the list so that the highlight stays in view.
  app_->key(VK_UP);
  app_->key(VK_UP);
  ASSERT_EQ(history().cursor(), history().firstVisible());
  app_->key(VK_F2);
  app_->key(VK_RETURN);
  EXPECT_EQ(history().firstVisible(), history().cursor());
  EXPECT_TRUE(highlighted(0));
  EXPECT_EQ(ReadFile(app_->home() / "nexttag.num"), std::string("\x0B\0\0\0", 4));
  EXPECT_EQ(nextTagNumber(), 11);

  // So does a window that grows shorter.
  for (int i = 0; i < 10 && history().cursor() != history().count() - 1; ++i) app_->key(VK_DOWN);
  app_->resize(240, 240);
  EXPECT_EQ(history().visibleRows(), 3);
  EXPECT_EQ(history().firstVisible(), history().count() - 3);
  EXPECT_TRUE(highlighted(2));
}

TEST_F(History, DeletingTheOnlyTagLeavesNewIdAloneWhichComesBackHere) {
  start();
  writeTag(1);
  open();
  app_->key(VK_F2);
  app_->key(VK_DOWN);
  app_->key(VK_RETURN);
  EXPECT_FALSE(exists("1.dat"));
  EXPECT_EQ(history().count(), 0);
  app_->key(VK_RETURN);  // nothing to open
  EXPECT_EQ(app_->screen(), SCREEN_HISTORY);
  app_->key(VK_F2);
  EXPECT_EQ(history().menuEntryCount(), 1);
  EXPECT_TRUE(LooksUndated("history-empty-menu"));
  app_->tap(W() - 100, H() - 55 - 20);
  EXPECT_EQ(app_->screen(), SCREEN_LISTENING);
  EXPECT_EQ(g_anBackStack[g_nBackTop], SCREEN_HISTORY);
}

TEST_F(History, OpensATagOnTheResultPageByKeyMenuAndTapAndComesBack) {
  start();
  writeTag(1, L"First Artist");
  writeTag(2, L"Second Artist");
  open();
  auto shown = [&] { return page<ResultScreen>(SCREEN_RESULT).record(); };
  app_->key(VK_DOWN);
  app_->key(VK_RETURN);
  ASSERT_EQ(app_->screen(), SCREEN_RESULT);
  EXPECT_EQ(shown()->tagNumber, 1);
  EXPECT_STREQ(shown()->artist, L"First Artist");
  app_->key(VK_F1);
  ASSERT_EQ(app_->screen(), SCREEN_HISTORY);
  EXPECT_EQ(history().cursor(), 0);
  app_->key(VK_F2);  // "ID Info"
  app_->key(VK_RETURN);
  ASSERT_EQ(app_->screen(), SCREEN_RESULT);
  EXPECT_EQ(shown()->tagNumber, 2);
  app_->key(VK_ESCAPE);
  ASSERT_EQ(app_->screen(), SCREEN_HISTORY);
  EXPECT_FALSE(history().menuOpen());
  app_->tap(20, rowTop(1) + 20);
  ASSERT_EQ(app_->screen(), SCREEN_RESULT);
  EXPECT_EQ(shown()->tagNumber, 1);
  EXPECT_TRUE(exists("1.dat") && exists("2.dat"));
  app_->key(VK_F1);
  app_->key(VK_F1);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
}

TEST_F(History, ALongLineRestsThenStepsToItsEndAndJumpsBackWithoutBlocking) {
  start();
  writeTag(1, L"The Unbelievably Long-Named Orchestra", L"An Equally Long Title");
  open();
  const RECT box{91, rowTop(0) + 1, 240, rowTop(0) + 40};
  auto column = [&](int x) {
    std::vector<std::uint32_t> pixels;
    for (int y = box.top; y < box.bottom; ++y) pixels.push_back(app_->pixel(x, y));
    return pixels;
  };
  std::vector<std::vector<std::uint32_t>> still;
  for (int x = box.left; x < box.right; ++x) still.push_back(column(x));

  // A pause, then a second's rest that leaves the clock and the keys to the program.
  const std::uint64_t start = VirtualNowMs();
  app_->wait(100);
  EXPECT_EQ(VirtualNowMs() - start, 100u);
  app_->wait(1199);
  EXPECT_EQ(history().marqueeOffset(), 0);
  const int overflow = history().marqueeOverflow();
  ASSERT_GT(overflow, 10);
  app_->wait(1);
  EXPECT_EQ(history().marqueeOffset(), 3);
  for (int x = box.left; x + 3 < box.right; ++x) ASSERT_EQ(column(x), still[x + 3 - box.left]) << x;
  EXPECT_TRUE(highlighted(0)) << "the date column stays";
  EXPECT_EQ(column(box.left - 1), std::vector<std::uint32_t>(box.bottom - box.top, kHighlightPixel));

  // 3 pixels every 200 ms until the end shows, a pause there, then back to the start.
  const int steps = overflow / 3 + 1;
  app_->wait(200 * (steps - 1));
  EXPECT_EQ(history().marqueeOffset(), 3 * steps);
  app_->wait(999);
  EXPECT_EQ(history().marqueeOffset(), 3 * steps);
  app_->wait(1);
  EXPECT_EQ(history().marqueeOffset(), 0);
  for (int x = box.left; x < box.right; ++x) ASSERT_EQ(column(x), still[x - box.left]);

  app_->wait(500);
  app_->key(VK_F2);  // answered at once, and the cycle stops
  EXPECT_TRUE(history().menuOpen());
  app_->wait(3000);
  EXPECT_EQ(history().marqueeOffset(), 0);
}

}  // namespace
