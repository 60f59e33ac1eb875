// Start-up to the first frame, and composing one menu frame, on the
// headless backend (the drawing is the same software path as on screen).
#include <benchmark/benchmark.h>

#include <optional>

#include "app/state.h"
#include "platform/window/window.h"
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

}  // namespace

BENCHMARK_MAIN();
