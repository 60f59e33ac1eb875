// The real microphone through SDL2's capture, which converts from the
// hardware's rate and channels to the capture format.
#include <SDL.h>
#include <alsa/asoundlib.h>

#include "platform/audio/capture_source.h"
#include "platform/audio/sound_devices.h"
#include "platform/audio/wave_in.h"

namespace {

constexpr Uint16 kCallbackSamples = 512;  // 64 ms at 8000 Hz

void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

class SdlCapture final : public CaptureSource {
 public:
  explicit SdlCapture(SampleSink& sink) : sink_(sink) {}

  ~SdlCapture() override {
    if (device_) SDL_CloseAudioDevice(device_);
    if (initialised_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }

  bool open() {
    // A machine without a sound card is an ordinary case, not an error to print.
    snd_lib_error_set_handler(QuietAlsa);
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return false;
    initialised_ = true;
    SDL_AudioSpec wanted{};
    wanted.freq = kCaptureRate;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = 1;
    wanted.samples = kCallbackSamples;
    wanted.callback = &SdlCapture::Captured;
    wanted.userdata = this;
    SDL_AudioSpec obtained{};
    device_ = SDL_OpenAudioDevice(nullptr, 1, &wanted, &obtained, 0);
    return device_ != 0;
  }

  MMRESULT start() override {
    SDL_PauseAudioDevice(device_, 0);
    return MMSYSERR_NOERROR;
  }

  // Pausing takes the device's lock, so no callback runs after it returns.
  MMRESULT stop() override {
    SDL_PauseAudioDevice(device_, 1);
    return MMSYSERR_NOERROR;
  }

 private:
  static void Captured(void* self, Uint8* stream, int length) {
    static_cast<SdlCapture*>(self)->sink_.deliver(reinterpret_cast<const std::int16_t*>(stream),
                                                   static_cast<std::size_t>(length) / sizeof(std::int16_t));
  }

  SampleSink& sink_;
  SDL_AudioDeviceID device_ = 0;
  bool initialised_ = false;
};

// Swallows the samples of a probe.
class NoSink final : public SampleSink {
 public:
  void deliver(const std::int16_t*, std::size_t) override {}
};

}  // namespace

bool ProbeMicrophone(std::string* description) {
  NoSink sink;
  SdlCapture capture(sink);
  if (!capture.open()) {
    *description = SDL_GetError();
    return false;
  }
  const char* driver = SDL_GetCurrentAudioDriver();
  *description = std::string("SDL audio driver ") + (driver ? driver : "?");
  return true;
}

std::unique_ptr<CaptureSource> OpenSdlCapture(SampleSink& sink, MMRESULT* error) {
  auto capture = std::make_unique<SdlCapture>(sink);
  if (capture->open()) return capture;
  *error = MMSYSERR_NODRIVER;
  return nullptr;
}
