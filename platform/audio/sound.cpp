#include "platform/audio/sound.h"

#include <SDL.h>
#include <alsa/asoundlib.h>

#include <cstdlib>
#include <cwchar>
#include <mutex>

#include "platform/audio/sound_devices.h"
#include "platform/system/resources.h"

namespace {

std::mutex g_mutex;
std::vector<std::wstring> g_played;

// libasound reports a machine without a sound card on stderr in its own
// words; here a missing device simply means silence.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

// The output device, opened on first use with the first sound's format;
// later sounds are converted to it.
class SoundOutput {
 public:
  ~SoundOutput() {
    if (device_) SDL_CloseAudioDevice(device_);
    if (initialised_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }

  void Play(const ResourceBytes& wave) {
    SDL_AudioSpec spec;
    Uint8* samples = nullptr;
    Uint32 length = 0;
    SDL_RWops* source = SDL_RWFromConstMem(wave.data, static_cast<int>(wave.size));
    if (!source || !SDL_LoadWAV_RW(source, 1, &spec, &samples, &length)) return;
    if (Open(spec)) Queue(spec, samples, length);
    SDL_FreeWAV(samples);
  }

 private:
  bool Open(const SDL_AudioSpec& wanted) {
    if (device_) return true;
    if (failed_) return false;
    snd_lib_error_set_handler(QuietAlsa);
    if (!initialised_ && SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
      failed_ = true;
      return false;
    }
    initialised_ = true;
    SDL_AudioSpec request = wanted;
    request.callback = nullptr;
    device_ = SDL_OpenAudioDevice(nullptr, 0, &request, &spec_, 0);
    if (!device_) {
      failed_ = true;
      return false;
    }
    SDL_PauseAudioDevice(device_, 0);
    return true;
  }

  void Queue(const SDL_AudioSpec& from, Uint8* samples, Uint32 length) {
    SDL_AudioCVT convert;
    const int needed = SDL_BuildAudioCVT(&convert, from.format, from.channels, from.freq, spec_.format,
                                         spec_.channels, spec_.freq);
    if (needed < 0) return;
    if (needed == 0) {
      SDL_QueueAudio(device_, samples, length);
      return;
    }
    std::vector<Uint8> buffer(static_cast<std::size_t>(length) * static_cast<std::size_t>(convert.len_mult));
    std::copy(samples, samples + length, buffer.begin());
    convert.buf = buffer.data();
    convert.len = static_cast<int>(length);
    if (SDL_ConvertAudio(&convert) == 0) SDL_QueueAudio(device_, buffer.data(), static_cast<Uint32>(convert.len_cvt));
  }

  SDL_AudioDeviceID device_ = 0;
  SDL_AudioSpec spec_{};
  bool initialised_ = false;
  bool failed_ = false;
};

// "#159" names resource 159; 0 when the name is not of that form.
int ResourceId(LPCWSTR name) {
  if (!name || name[0] != L'#') return 0;
  wchar_t* end = nullptr;
  const long id = std::wcstol(name + 1, &end, 10);
  return end && *end == L'\0' && id > 0 && id <= 0xFFFF ? static_cast<int>(id) : 0;
}

}  // namespace

BOOL PlaySoundW(LPCWSTR name, HMODULE, DWORD flags) {
  std::lock_guard lock(g_mutex);
  if (name) g_played.emplace_back(name);
  if (!name || !SoundDevicesInUse() || (flags & SND_RESOURCE) != SND_RESOURCE) return name ? TRUE : FALSE;
  const ResourceBytes wave = FindResourceBytes(ResourceType::Wave, ResourceId(name));
  if (!wave.data) return FALSE;
  static SoundOutput output;
  output.Play(wave);
  return TRUE;
}

std::vector<std::wstring> PlayedSounds() {
  std::lock_guard lock(g_mutex);
  return g_played;
}

void ClearPlayedSounds() {
  std::lock_guard lock(g_mutex);
  g_played.clear();
}
