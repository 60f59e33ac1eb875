// Start-up to the first frame, and composing one menu frame and one result
// frame, on the headless backend (the drawing is the same software path as
// on screen).
#include <benchmark/benchmark.h>

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <optional>

#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "app/strings.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"
#include "screens/result_screen.h"
#include "tests/support/headless_app.h"

namespace {

void StartToFirstFrame(benchmark::State& state) {
  for (auto _ : state) {
    std::optional<HeadlessApp> app;
    app.emplace();  // platform, start-up, the splash painted
    benchmark::DoNotOptimize(app->pixel(0, 0));
    state.PauseTiming();
    app.reset();  // shutdown is not part of the start
    state.ResumeTiming();
  }
}
BENCHMARK(StartToFirstFrame)->Unit(benchmark::kMillisecond);

void ComposeMenuFrame(benchmark::State& state) {
  HeadlessApp::Options options;
  options.width = static_cast<int>(state.range(0));
  options.height = static_cast<int>(state.range(1));
  HeadlessApp app(options);
  app.skipSplash();
  for (auto _ : state) {
    RedrawWindow(g_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    benchmark::DoNotOptimize(app.pixel(0, 0));
  }
}
BENCHMARK(ComposeMenuFrame)->Args({240, 320})->Args({480, 640})->Unit(benchmark::kMicrosecond);

// A found song with all four links and a 300 x 300 cover (shrunk to its
// room), on the 480 x 640 page.
class ResultPage {
 public:
  ResultPage() : m_app(Options()) {
    m_app.skipSplash();
    WriteCover(m_app.home() / "1.jpg");
    m_record.tagNumber = 1;
    m_record.artist = DupWideString(L"The Rock & Roll Choir");
    m_record.trackTitle = DupWideString(L"Evening Hymn");
    for (char** link : {&m_record.ringer, &m_record.fullSong, &m_record.wallpaper, &m_record.recommend})
      *link = DupString("http://store.example/item?id=1");
    show();
  }
  // A new visit: the cover is loaded again on its first paint.
  void show() {
    SwitchScreen(SCREEN_MAIN_MENU);
    SwitchScreen(SCREEN_RESULT);
    static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->setRecord(&m_record);
    DispatchPending();
  }
  std::uint32_t pixel() const { return m_app.pixel(0, 0); }

 private:
  static HeadlessApp::Options Options() {
    HeadlessApp::Options options;
    options.width = 480;
    options.height = 640;
    return options;
  }
  static void WriteCover(const std::filesystem::path& path) {
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, 300, 300, 32, SDL_PIXELFORMAT_ARGB8888);
    for (int y = 0; y < 300; y += 20)
      for (int x = 0; x < 300; x += 20) {
        SDL_Rect tile{x, y, 20, 20};
        SDL_FillRect(s, &tile, SDL_MapRGB(s->format, x * 255 / 300, y * 255 / 300, (x + y) % 40 ? 40 : 220));
      }
    IMG_SaveJPG(s, path.c_str(), 90);
    SDL_FreeSurface(s);
  }

  HeadlessApp m_app;
  SongRecord m_record;
};

// Every paint after the first only copies the cover it keeps.
void ComposeResultFrame(benchmark::State& state) {
  ResultPage page;
  for (auto _ : state) {
    RedrawWindow(g_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    benchmark::DoNotOptimize(page.pixel());
  }
}
BENCHMARK(ComposeResultFrame)->Unit(benchmark::kMicrosecond);

// Leaving and entering again: the cover is decoded and shrunk once per visit.
void EnterResultPage(benchmark::State& state) {
  ResultPage page;
  for (auto _ : state) {
    page.show();
    benchmark::DoNotOptimize(page.pixel());
  }
}
BENCHMARK(EnterResultPage)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
