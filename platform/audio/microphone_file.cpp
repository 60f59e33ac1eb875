#include "platform/audio/microphone_file.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/audio/capture_source.h"
#include "platform/audio/wave_in.h"
#include "platform/window/window.h"

namespace {

constexpr sf_count_t kBlockFrames = 4096;
constexpr int kPollMs = 5;

std::mutex g_mutex;
std::shared_ptr<const std::vector<std::int16_t>> g_samples;

struct SndFileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
struct ResamplerDeleter {
  void operator()(SRC_STATE* state) const { src_delete(state); }
};

std::int16_t ToSample(float value) {
  const float scaled = std::clamp(value, -1.0f, 1.0f) * 32767.0f;
  return static_cast<std::int16_t>(scaled < 0 ? scaled - 0.5f : scaled + 0.5f);
}

// Mixes each block to mono and streams it through the resampler, so a long
// file never sits in memory at its own rate.
bool Decode(SNDFILE* file, const SF_INFO& info, std::vector<std::int16_t>* out, std::string* error) {
  int status = 0;
  std::unique_ptr<SRC_STATE, ResamplerDeleter> resampler(src_new(SRC_SINC_MEDIUM_QUALITY, 1, &status));
  if (!resampler) {
    *error = src_strerror(status);
    return false;
  }
  const double ratio = static_cast<double>(kCaptureRate) / info.samplerate;
  std::vector<float> frames(static_cast<std::size_t>(kBlockFrames * info.channels));
  std::vector<float> mono(kBlockFrames);
  std::vector<float> resampled(static_cast<std::size_t>(kBlockFrames * ratio) + 64);
  for (bool last = false; !last;) {
    const sf_count_t got = sf_readf_float(file, frames.data(), kBlockFrames);
    last = got < kBlockFrames;
    for (sf_count_t i = 0; i < got; ++i) {
      float sum = 0;
      for (int c = 0; c < info.channels; ++c) sum += frames[static_cast<std::size_t>(i * info.channels + c)];
      mono[static_cast<std::size_t>(i)] = sum / static_cast<float>(info.channels);
    }
    SRC_DATA data{};
    data.data_in = mono.data();
    data.input_frames = static_cast<long>(got);
    data.src_ratio = ratio;
    data.end_of_input = last ? 1 : 0;
    // The converter may hold input back; drain it until it has nothing more.
    do {
      data.data_out = resampled.data();
      data.output_frames = static_cast<long>(resampled.size());
      if ((status = src_process(resampler.get(), &data)) != 0) {
        *error = src_strerror(status);
        return false;
      }
      for (long i = 0; i < data.output_frames_gen; ++i) out->push_back(ToSample(resampled[static_cast<std::size_t>(i)]));
      data.data_in += data.input_frames_used;
      data.input_frames -= data.input_frames_used;
    } while (data.input_frames > 0 || (last && data.output_frames_gen > 0));
  }
  return true;
}

// Delivers the file at the pace of the platform's clock: whenever the clock
// has moved on, the samples of that span (silence past the end).
class FileCapture final : public CaptureSource {
 public:
  FileCapture(SampleSink& sink, std::shared_ptr<const std::vector<std::int16_t>> samples)
      : sink_(sink), samples_(std::move(samples)) {}
  ~FileCapture() override { stop(); }

  MMRESULT start() override {
    stop();
    stopping_ = false;
    thread_ = std::thread([this, from = GetTickCount()] { run(from); });
    return 0;
  }

  MMRESULT stop() override {
    if (!thread_.joinable()) return 0;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    return 0;
  }

 private:
  void run(DWORD from) {
    const std::size_t startPosition = position_;
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(kPollMs), [this] { return stopping_; })) {
      const DWORD elapsed = GetTickCount() - from;
      const std::size_t due = startPosition + static_cast<std::size_t>(elapsed) * (kCaptureRate / 1000);
      if (due > position_) deliverUpTo(due);
    }
  }

  void deliverUpTo(std::size_t due) {
    const std::vector<std::int16_t>& all = *samples_;
    if (position_ < all.size()) {
      const std::size_t end = std::min(due, all.size());
      sink_.deliver(all.data() + position_, end - position_);
      position_ = end;
    }
    if (due > position_) {
      silence_.assign(due - position_, 0);
      sink_.deliver(silence_.data(), silence_.size());
      position_ = due;
    }
  }

  SampleSink& sink_;
  const std::shared_ptr<const std::vector<std::int16_t>> samples_;
  std::size_t position_ = 0;  // the next sample to deliver; kept across stop and start
  std::vector<std::int16_t> silence_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

}  // namespace

bool UseMicrophoneFile(const std::string& path, std::string* error) {
  SF_INFO info{};
  std::unique_ptr<SNDFILE, SndFileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) {
    *error = path + ": " + sf_strerror(nullptr);
    return false;
  }
  if (info.channels <= 0 || info.samplerate <= 0) {
    *error = path + ": no audio";
    return false;
  }
  auto samples = std::make_shared<std::vector<std::int16_t>>();
  std::string why;
  if (!Decode(file.get(), info, samples.get(), &why)) {
    *error = path + ": " + why;
    return false;
  }
  std::lock_guard lock(g_mutex);
  g_samples = std::move(samples);
  return true;
}

void ForgetMicrophoneFile() {
  std::lock_guard lock(g_mutex);
  g_samples.reset();
}

const std::vector<std::int16_t>& MicrophoneFileSamples() {
  static const std::vector<std::int16_t> none;
  std::lock_guard lock(g_mutex);
  return g_samples ? *g_samples : none;
}

bool FileCaptureConfigured() {
  std::lock_guard lock(g_mutex);
  return g_samples != nullptr;
}

std::unique_ptr<CaptureSource> OpenFileCapture(SampleSink& sink, MMRESULT* error) {
  std::lock_guard lock(g_mutex);
  if (!g_samples) {
    *error = MMSYSERR_NODRIVER;
    return nullptr;
  }
  return std::make_unique<FileCapture>(sink, g_samples);
}
