// What one identification costs the client, against the real melodex-server
// on loopback: the time from the recorder's full buffer to the result page
// drawn (the request, the reply, the cover, the tag files and the page), and
// the resident memory over ten identifications in a row. Prints its
// figures; passes or fails nothing.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/state.h"
#include "audio/audio_recorder.h"
#include "platform/audio/fake_wave_in.h"
#include "platform/window/headless.h"
#include "screens/listening_screen.h"
#include "screens/result_screen.h"
#include "tests/e2e/catalogue_server.h"
#include "tests/server/synth.h"
#include "tests/support/headless_app.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 10;
constexpr std::size_t kChunk = 800;
const CatalogueServer::Song kSongs[] = {{"Band One", "Song One", 11}, {"Band Two", "Song Two", 22},
                                        {"Band Three", "Song Three", 33}};

long ResidentKiB() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// From the main menu: "ID song!", the recording, and the wait for the result
// page. Returns the milliseconds from the full buffer to the page drawn, or
// -1 when no song was shown.
double IdentifyOnce(HeadlessApp& app, const std::vector<std::int16_t>& samples) {
  app.key(0x0D);
  app.wait(ListeningScreen::kWaitMs);
  for (int i = 0; i < 2000 && !(g_pRecorder && g_pRecorder.load()->state() == RECORDING_ACTIVE); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::size_t total = AudioRecorder::kSampleBytes / 2;
  for (std::size_t n = 0; n + kChunk < total; n += kChunk) FakeWaveInCapture(samples.data() + n, kChunk);
  const Clock::time_point full = Clock::now();
  FakeWaveInCapture(samples.data() + total - kChunk, kChunk);
  DispatchPending();
  for (int i = 0; i < 5000 && g_nCurrentScreen != SCREEN_RESULT; ++i) WaitForPostedMessage(1);
  DispatchPending();  // the page's first paint
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - full).count();
  // Only a found song counts: a not-found page costs no cover.
  const bool shown =
      g_nCurrentScreen == SCREEN_RESULT && static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->record();
  app.key(0x1B);  // back to the menu
  return shown ? ms : -1;
}

}  // namespace

int main() {
  CatalogueServer server(MakeTempFolder("melodex-bench-identify"), {std::begin(kSongs), std::end(kSongs)});
  if (!server.started()) {
    std::fprintf(stderr, "melodex-server did not start\n");
    return 1;
  }
  InstallFakeWaveIn();
  HeadlessApp::Options options;
  options.settings = "serverURL = \"" + server.endpoint() + "\"\n";
  HeadlessApp app(options);
  if (!app.started()) return 1;
  app.skipSplash();

  std::vector<double> times;
  std::printf("run  song        full buffer -> result page   resident now   peak resident\n");
  for (int run = 0; run < kRuns; ++run) {
    const CatalogueServer::Song& song = kSongs[run % 3];
    const auto samples = melodex::server::test::toPcm16(melodex::server::test::melody(song.seed, 11.0));
    const double ms = IdentifyOnce(app, samples);
    times.push_back(ms);
    std::printf("%3d  %-10s  %8.1f ms %-16s   %6ld KiB     %6ld KiB\n", run + 1, song.title.c_str(), ms,
                ms < 0 ? "(no song)" : "", ResidentKiB(), PeakResidentKiB());
  }
  std::sort(times.begin(), times.end());
  std::printf("full buffer -> result page (cover included): min %.1f ms, median %.1f ms, max %.1f ms (goal < 150 ms)\n",
              times.front(), (times[kRuns / 2 - 1] + times[kRuns / 2]) / 2, times.back());
  RemoveFakeWaveIn();
  return 0;
}
