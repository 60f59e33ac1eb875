#include "platform/audio/fake_wave_in.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "platform/audio/capture_source.h"

namespace {

struct FakeState {
  bool installed = false;
  FakeWaveInFailures failures;
  std::vector<std::string> calls;
  SampleSink* running = nullptr;  // the started fake source's device
};

std::mutex g_mutex;
FakeState g_fake;

class FakeCapture final : public CaptureSource {
 public:
  explicit FakeCapture(SampleSink& sink) : sink_(sink) {}
  ~FakeCapture() override { stop(); }

  MMRESULT start() override {
    std::lock_guard lock(g_mutex);
    g_fake.running = &sink_;
    return 0;
  }

  MMRESULT stop() override {
    std::lock_guard lock(g_mutex);
    if (g_fake.running == &sink_) g_fake.running = nullptr;
    return 0;
  }

 private:
  SampleSink& sink_;
};

const char* CallName(WaveInCall call) {
  switch (call) {
    case WaveInCall::Open: return "open";
    case WaveInCall::Prepare: return "prepare";
    case WaveInCall::AddBuffer: return "add";
    case WaveInCall::Start: return "start";
    case WaveInCall::Stop: return "stop";
    case WaveInCall::Reset: return "reset";
    case WaveInCall::Unprepare: return "unprepare";
    case WaveInCall::Close: return "close";
  }
  return "?";
}

MMRESULT ChosenFailure(WaveInCall call) {
  const FakeWaveInFailures& f = g_fake.failures;
  switch (call) {
    case WaveInCall::Open: return f.open;
    case WaveInCall::Prepare: return f.prepare;
    case WaveInCall::AddBuffer: return f.addBuffer;
    case WaveInCall::Start: return f.start;
    case WaveInCall::Stop: return f.stop;
    case WaveInCall::Reset: return f.reset;
    case WaveInCall::Unprepare: return f.unprepare;
    case WaveInCall::Close: return f.close;
  }
  return 0;
}

}  // namespace

void InstallFakeWaveIn(const FakeWaveInFailures& failures) {
  std::lock_guard lock(g_mutex);
  g_fake.installed = true;
  g_fake.failures = failures;
  g_fake.calls.clear();
}

void RemoveFakeWaveIn() {
  std::lock_guard lock(g_mutex);
  g_fake.installed = false;
  g_fake.failures = {};
  g_fake.calls.clear();
}

std::vector<std::string> FakeWaveInCalls() {
  std::lock_guard lock(g_mutex);
  return g_fake.calls;
}

bool FakeWaveInCapture(const std::int16_t* samples, std::size_t count) {
  // Held across the delivery, so the device cannot stop under it.
  std::lock_guard lock(g_mutex);
  if (!g_fake.running) return false;
  g_fake.running->deliver(samples, count);
  return true;
}

bool FakeWaveInCaptureConstant(std::int16_t value, std::size_t count) {
  const std::vector<std::int16_t> samples(count, value);
  return FakeWaveInCapture(samples.data(), samples.size());
}

bool FakeCaptureInstalled() {
  std::lock_guard lock(g_mutex);
  return g_fake.installed;
}

MMRESULT FakeFailureFor(WaveInCall call) {
  int delayMs = 0;
  MMRESULT result = 0;
  {
    std::lock_guard lock(g_mutex);
    g_fake.calls.emplace_back(CallName(call));
    result = ChosenFailure(call);
    delayMs = g_fake.failures.delayMs;
  }
  if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  return result;
}

std::unique_ptr<CaptureSource> OpenFakeCapture(SampleSink& sink, MMRESULT*) {
  return std::make_unique<FakeCapture>(sink);
}
