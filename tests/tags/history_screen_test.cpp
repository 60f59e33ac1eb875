// The history list with tag files in the data folder: which tags are listed
// and in what order, the highlight, moving, the sideways scroll of a long
// line, the Options menu, deleting, and opening a tag on the result page.
#include "tags/history_screen.h"

#include "screens/result_screen.h"
#include "tags/tag_store.h"
#include "tests/support/client_fixture.h"

namespace {

using namespace std::string_literals;

constexpr std::uint32_t kHighlightPixel = 0xFFFC00;

std::string Utf16(const std::wstring& text) {
  std::string bytes;
  for (wchar_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  return bytes + std::string(2, '\0');
}

class History : public ClientTest, public ::testing::WithParamInterface<std::pair<int, int>> {
 protected:
  // Tag files as the store writes them.
  void writeTags(const std::vector<int>& tags, const std::wstring& artist = L"Band & Co") const {
    for (int n : tags)
      writeFile(std::to_string(n) + ".dat", Utf16(L"Album") + Utf16(artist) + Utf16(L"Song " + std::to_wstring(n)) +
                                                "null\0null\0Hi\0null\0null\0"s);
  }
  void enter() const { keys({VK_DOWN, VK_RETURN}); }  // "manage IDs" in the main menu
  HistoryScreen& history() const { return page<HistoryScreen>(SCREEN_HISTORY); }
  std::vector<int> listed() const {
    std::vector<int> numbers;
    for (int p = 0; p < history().count(); ++p) numbers.push_back(history().listed(p).tagNumber);
    return numbers;
  }
  static int rowTop(int row) { return 43 + row * 41; }
  bool highlighted(int row) const { return app_->pixel(2, rowTop(row) + 20) == kHighlightPixel; }
  // The window against a reference, each listed row's date painted over:
  // the dates are the days the files were made.
  ::testing::AssertionResult LooksUndated(const std::string& name) const {
    Surface shown = app_->pixels();
    for (int row = 0; row < history().visibleRows() && history().firstVisible() + row < history().count(); ++row)
      for (int y = rowTop(row) + 1; y < rowTop(row) + 40; ++y)
        std::fill_n(shown.pixels.begin() + y * shown.width, 90, 0xFF00FF);
    return MatchesReference(shown,
                            "tags/reference/" + name + "-" + std::to_string(W()) + "x" + std::to_string(H()) + ".png");
  }
};

TEST_P(History, ListsTheTenNewestTagsThatLoadMovesItsHighlightAndOpensItsMenu) {
  start(GetParam().first, GetParam().second);
  writeTags({-4, 0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 13});
  writeFile("11.dat", Utf16(L"Album") + Utf16(L"Artist"));  // cut short after two fields
  writeFile("12.dat", "");
  writeFile("notes.dat", std::string(11, '\0'));
  enter();
  EXPECT_EQ(listed(), (std::vector<int>{13, 10, 9, 8, 7, 6, 5, 3, 2, 1}));
  EXPECT_TRUE(LooksUndated("history"));
  int dateInk = 0;
  for (int y = rowTop(0) + 1; y < rowTop(0) + 40; ++y)
    for (int x = 0; x < 90; ++x) dateInk += app_->pixel(x, y) < 0x808080;
  EXPECT_GT(dateInk, 20) << "the first row's date";
  // Up from the top shows the oldest on the last page; Down wraps back, and
  // past the last row shown scrolls by one.
  const int visible = (H() - 43 - 55) / 41;
  app_->key(VK_UP);
  EXPECT_EQ(std::pair(history().cursor(), history().firstVisible()), std::pair(9, std::max(0, 10 - visible)));
  EXPECT_TRUE(highlighted(9 - history().firstVisible()));
  app_->key(VK_DOWN);
  EXPECT_TRUE(history().firstVisible() == 0 && highlighted(0));
  for (int i = 0; i < visible; ++i) app_->key(VK_DOWN);
  EXPECT_EQ(history().firstVisible(), visible < 10 ? 1 : 0);
  for (int i = 0; i < visible; ++i) app_->key(VK_UP);
  // The Options menu: three entries; Up wraps; only its own keys act.
  app_->key(VK_F2);
  EXPECT_TRUE(LooksUndated("history-menu"));
  app_->key(VK_UP);
  EXPECT_EQ(app_->pixel(W() - 198, H() - 57), kHighlightPixel) << "\"New ID!\" highlighted";
  app_->key(VK_ESCAPE);
  EXPECT_TRUE(history().menuOpen());
  app_->key(VK_F1);
  EXPECT_TRUE(LooksUndated("history"));
  app_->key(VK_ESCAPE);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
}

INSTANTIATE_TEST_SUITE_P(Sizes, History, ::testing::Values(std::pair{240, 320}, std::pair{480, 640}));

TEST_F(History, DeletingKeepsTheCounterTheArtOfOthersAndTheHighlightInView) {
  start();
  writeTags({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  writeFile("nexttag.num", std::string("\x0B\0\0\0", 4));
  for (int n = 1; n <= 10; ++n) writeFile(std::to_string(n) + ".jpg", "JPEG");
  enter();
  // With "Delete ID" highlighted, a tapped row is deleted.
  keys({VK_F2, VK_DOWN});
  app_->tap(20, rowTop(2) + 20);
  EXPECT_FALSE(stored("8.dat") || stored("8.jpg"));
  EXPECT_TRUE(stored("7.jpg") && stored("9.jpg"));
  EXPECT_EQ(listed(), (std::vector<int>{10, 9, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(std::tuple(history().menuOpen(), history().cursor(), app_->screen()), std::tuple(false, 1, SCREEN_HISTORY));
  // The oldest, on the last page: its row empties, keeps the scroll, and is no target.
  keys({VK_UP, VK_UP, VK_F2, VK_RETURN});
  EXPECT_EQ(std::pair(history().count(), history().firstVisible()), std::pair(8, 4));
  for (int x = 0; x < 240; ++x) ASSERT_EQ(app_->pixel(x, rowTop(4) + 20), 0xFFFFFFu) << x;
  app_->tap(20, rowTop(4) + 20);
  EXPECT_EQ(history().cursor(), 7);
  keys({VK_F2, VK_RETURN});  // "Delete ID" again: the highlighted tag
  EXPECT_FALSE(stored("2.dat"));
  // Deleting the first row shown moves the list so that the highlight stays in view.
  keys({VK_UP, VK_UP});
  ASSERT_EQ(history().cursor(), history().firstVisible());
  keys({VK_F2, VK_RETURN});
  EXPECT_TRUE(history().firstVisible() == history().cursor() && highlighted(0));
  EXPECT_EQ(ReadFile(app_->home() / "nexttag.num"), std::string("\x0B\0\0\0", 4));
  EXPECT_EQ(nextTagNumber(), 11);
  // So does a window that grows shorter.
  while (history().cursor() != history().count() - 1) app_->key(VK_DOWN);
  app_->resize(240, 240);
  EXPECT_EQ(std::pair(history().visibleRows(), history().firstVisible()), std::pair(3, history().count() - 3));
  EXPECT_TRUE(highlighted(2));
}

// Opening by key, menu and tap; deleting the last tag then leaves "New ID!"
// alone in the menu, and the identification it starts comes back here.
TEST_F(History, OpensATagOnTheResultPageAndDeletingTheLastLeavesNewIdAlone) {
  start();
  writeTags({1, 2});
  enter();
  auto number = [&] { return shown()->tagNumber; };
  keys({VK_DOWN, VK_RETURN});
  EXPECT_EQ(std::pair(app_->screen(), number()), std::pair(SCREEN_RESULT, 1));
  EXPECT_STREQ(page<ResultScreen>(SCREEN_RESULT).record()->artist, L"Band & Co");
  app_->key(VK_F1);
  EXPECT_EQ(std::pair(app_->screen(), history().cursor()), std::pair(SCREEN_HISTORY, 0));
  keys({VK_F2, VK_RETURN});  // "ID Info"
  EXPECT_EQ(std::pair(app_->screen(), number()), std::pair(SCREEN_RESULT, 2));
  app_->key(VK_ESCAPE);
  EXPECT_EQ(std::pair(app_->screen(), history().menuOpen()), std::pair(SCREEN_HISTORY, false));
  app_->tap(20, rowTop(1) + 20);
  EXPECT_EQ(std::pair(app_->screen(), number()), std::pair(SCREEN_RESULT, 1));
  EXPECT_TRUE(stored("1.dat") && stored("2.dat"));
  keys({VK_F1, VK_F1});
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  app_->key(VK_RETURN);                                            // "manage IDs" is still selected
  keys({VK_F2, VK_DOWN, VK_RETURN, VK_F2, VK_RETURN, VK_RETURN});  // "Delete ID" twice; nothing left to open
  EXPECT_FALSE(stored("1.dat") || stored("2.dat"));
  EXPECT_EQ(std::pair(history().count(), app_->screen()), std::pair(0, SCREEN_HISTORY));
  app_->key(VK_F2);
  EXPECT_TRUE(LooksUndated("history-empty-menu"));
  app_->tap(W() - 100, H() - 55 - 20);
  EXPECT_EQ(app_->screen(), SCREEN_LISTENING);
  EXPECT_EQ(g_anBackStack[g_nBackTop], SCREEN_HISTORY);
}

TEST_F(History, ALongLineRestsThenStepsToItsEndAndJumpsBackWithoutBlocking) {
  start();
  writeTags({1}, L"The Unbelievably Long-Named Orchestra Playing An Equally Long Title");
  enter();
  const Surface still = app_->pixels();
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
  EXPECT_TRUE(ChangesOnlyWithin(still, app_->pixels(), RECT{91, rowTop(0) + 1, 239, rowTop(0) + 39}))
      << "the date stays";
  EXPECT_TRUE(LooksUndated("history-long-moved"));
  // 3 pixels every 200 ms until the end shows, a pause there, then back to the start.
  const int steps = overflow / 3 + 1;
  app_->wait(200 * (steps - 1));
  EXPECT_EQ(history().marqueeOffset(), 3 * steps);
  app_->wait(999);
  EXPECT_EQ(history().marqueeOffset(), 3 * steps);
  app_->wait(1);
  EXPECT_EQ(app_->pixels().pixels, still.pixels);
  app_->wait(500);
  app_->key(VK_F2);  // answered at once, and the cycle stops
  EXPECT_TRUE(history().menuOpen());
  app_->wait(3000);
  EXPECT_EQ(history().marqueeOffset(), 0);
}

}  // namespace
