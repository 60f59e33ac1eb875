// What one recording costs: heap blocks allocated per recording cycle (the
// recorder's one body buffer, no copies), the peak resident size of a
// headless melodex that records twice from a music file, and the CPU time
// spent per second of capture. Prints its figures; passes or fails nothing.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <thread>

#include "app/state.h"
#include "audio/audio_recorder.h"
#include "platform/audio/fake_wave_in.h"
#include "platform/audio/microphone_file.h"
#include "platform/audio/wave_in.h"
#include "platform/window/headless.h"
#include "platform/window/platform.h"
#include "screens/listening_screen.h"
#include "tests/platform/audio/test_sound_file.h"
#include "tests/support/headless_app.h"

namespace fs = std::filesystem;

// Heap accounting for the whole program. The replacements pair malloc with
// free themselves; the compiler cannot see that through inlined allocators.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long> g_blocks{0};
std::atomic<long> g_bytes{0};
std::atomic<long> g_largest{0};
}  // namespace

void* operator new(std::size_t size) {
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  g_bytes.fetch_add(static_cast<long>(size), std::memory_order_relaxed);
  long largest = g_largest.load(std::memory_order_relaxed);
  while (static_cast<long>(size) > largest && !g_largest.compare_exchange_weak(largest, static_cast<long>(size))) {
  }
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One recording on the listening page with the fake microphone: from "ID
// song!" to the full buffer handed back.
void RecordOnce(HeadlessApp& app) {
  app.key(0x0D);
  app.wait(ListeningScreen::kWaitMs);
  for (int i = 0; i < 2000 && !(g_pRecorder && g_pRecorder.load()->state() == RECORDING_ACTIVE); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The microphone's samples come from a fixed block, so that only the
  // program's own allocations are counted.
  static const std::int16_t block[800] = {};
  for (std::size_t n = 0; n < AudioRecorder::kSampleBytes / 2; n += 800) FakeWaveInCapture(block, 800);
  DispatchPending();
  app.key(0x1B);  // back to the menu
}

void HeapPerRecording() {
  InstallFakeWaveIn();
  HeadlessApp app;
  app.skipSplash();
  for (int cycle = 1; cycle <= 2; ++cycle) {
    g_blocks = 0;
    g_bytes = 0;
    g_largest = 0;
    RecordOnce(app);
    std::printf("recording cycle %d: %ld heap blocks, %ld bytes in all, largest block %ld bytes\n", cycle,
                g_blocks.load(), g_bytes.load(), g_largest.load());
  }
  RemoveFakeWaveIn();
}

// CPU time of the microphone file at real pace: capture thread, hand-over
// and the window's dispatching, with nothing painted.
void CpuPerSecondOfCapture(const fs::path& music) {
  std::string error;
  if (!UseMicrophoneFile(music, &error)) return;
  InitPlatform(PlatformOptions{}, &error);
  SetRealTimePacing(true);
  constexpr int kSeconds = 4;
  std::vector<char> buffer(kSeconds * 16000);
  WAVEHDR header{};
  header.lpData = buffer.data();
  header.dwBufferLength = static_cast<DWORD>(buffer.size());
  const WAVEFORMATEX format{1, 1, 8000, 16000, 2, 16, 0};
  HWAVEIN device = nullptr;
  const double before = CpuSeconds(RUSAGE_SELF);
  waveInOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
  waveInPrepareHeader(device, &header, sizeof header);
  waveInAddBuffer(device, &header, sizeof header);
  waveInStart(device);
  AdvanceClock(kSeconds * 1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const double used = CpuSeconds(RUSAGE_SELF) - before;
  waveInReset(device);
  waveInClose(device);
  ShutdownPlatform();
  ForgetMicrophoneFile();
  std::printf("microphone file: %.2f ms of CPU per second of capture (%u of %u bytes captured)\n",
              used * 1000 / kSeconds, header.dwBytesRecorded, header.dwBufferLength);
}

// Runs melodex headless on a script; its peak resident size in KiB and CPU seconds.
bool RunMelodex(const std::vector<std::string>& args, const std::string& script, long* peakKiB, double* cpu) {
  const double before = CpuSeconds(RUSAGE_CHILDREN);
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    const fs::path input = fs::temp_directory_path() / ("melodex-bench-" + std::to_string(getpid()));
    std::ofstream(input) << script;
    std::vector<char*> argv{const_cast<char*>(MELODEX_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    const std::string scriptPath = input.string();
    argv.push_back(const_cast<char*>("--script"));
    argv.push_back(const_cast<char*>(scriptPath.c_str()));
    argv.push_back(nullptr);
    if (!std::freopen("/dev/null", "w", stdout)) _exit(127);
    execv(MELODEX_BINARY, argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return false;
  *peakKiB = usage.ru_maxrss;
  *cpu = CpuSeconds(RUSAGE_CHILDREN) - before;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void PeakResidentSize(const fs::path& music, const fs::path& home) {
  long idle = 0;
  long recording = 0;
  double idleCpu = 0;
  double recordingCpu = 0;
  const std::vector<std::string> common{"--backend", "headless", "--home", home.string()};
  auto withMic = common;
  withMic.insert(withMic.end(), {"--mic-file", music.string()});
  const std::string menuOnly = "wait 3000\nwait 28400\n";
  const std::string twice = "wait 3000\nkey Enter\nwait 14200\nkey Escape\nkey Enter\nwait 14200\nkey Escape\n";
  if (!RunMelodex(withMic, menuOnly, &idle, &idleCpu) || !RunMelodex(withMic, twice, &recording, &recordingCpu)) {
    std::printf("melodex runs failed\n");
    return;
  }
  std::printf("peak resident size, headless melodex with a music file: %ld KiB on the menu, %ld KiB recording twice "
              "(+%ld KiB)\n",
              idle, recording, recording - idle);
  std::printf("CPU of those runs over 31.4 s: %.2f s on the menu, %.2f s recording twice\n", idleCpu, recordingCpu);
}

}  // namespace

int main() {
  const fs::path folder = MakeTempFolder("melodex-bench");
  const fs::path music = folder / "music.wav";
  if (!test_sound::WriteStereoTones(music, 44100, 12.0)) return 1;
  HeapPerRecording();
  CpuPerSecondOfCapture(music);
  PeakResidentSize(music, folder / "home");
  fs::remove_all(folder);
  return 0;
}
