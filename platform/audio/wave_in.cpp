#include "platform/audio/wave_in.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/audio/capture_source.h"
#include "platform/audio/sound_devices.h"
#include "platform/window/window.h"

namespace {

constexpr WORD kChannels = 1;
constexpr DWORD kBytesPerSample = 2;

bool IsCaptureFormat(const WAVEFORMATEX& f) {
  return f.wFormatTag == WAVE_FORMAT_PCM && f.nChannels == kChannels && f.nSamplesPerSec == kCaptureRate &&
         f.wBitsPerSample == 16 && f.nBlockAlign == kBytesPerSample &&
         f.nAvgBytesPerSec == kCaptureRate * kBytesPerSample;
}

// One open device: its queue of buffers, whether it captures, and its source.
class Device final : public SampleSink {
 public:
  Device(HWAVEIN handle, HWND window, bool fake) : handle_(handle), window_(window), fake_(fake) {}

  bool fake() const { return fake_; }

  MMRESULT open() {
    MMRESULT error = MMSYSERR_NODRIVER;
    if (fake_)
      source_ = OpenFakeCapture(*this, &error);
    else if (FileCaptureConfigured())
      source_ = OpenFileCapture(*this, &error);
    else if (SoundDevicesInUse())
      source_ = OpenSdlCapture(*this, &error);
    return source_ ? MMSYSERR_NOERROR : error;
  }

  MMRESULT add(WAVEHDR* header) {
    std::lock_guard lock(mutex_);
    if (closed_) return MMSYSERR_INVALHANDLE;
    if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    queue_.push_back(header);
    return MMSYSERR_NOERROR;
  }

  MMRESULT start() {
    std::lock_guard control(controlMutex_);
    {
      std::lock_guard lock(mutex_);
      if (closed_) return MMSYSERR_INVALHANDLE;
      if (capturing_) return MMSYSERR_NOERROR;
      capturing_ = true;
    }
    const MMRESULT result = source_->start();
    if (result != MMSYSERR_NOERROR) {
      std::lock_guard lock(mutex_);
      capturing_ = false;
    }
    return result;
  }

  MMRESULT stop() {
    std::lock_guard control(controlMutex_);
    return stopCapturing();
  }

  MMRESULT reset() {
    std::lock_guard control(controlMutex_);
    const MMRESULT result = stopCapturing();
    std::lock_guard lock(mutex_);
    while (!queue_.empty()) handBack();
    return result;
  }

  bool queued(const WAVEHDR* header) {
    std::lock_guard lock(mutex_);
    return std::find(queue_.begin(), queue_.end(), header) != queue_.end();
  }

  bool idle() {
    std::lock_guard lock(mutex_);
    return queue_.empty();
  }

  // A call that found the device just before it was closed gets
  // MMSYSERR_INVALHANDLE, as one made just after would.
  void close() {
    std::lock_guard control(controlMutex_);
    stopCapturing();
    std::unique_ptr<CaptureSource> source;
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      source = std::move(source_);
    }
  }

  void deliver(const std::int16_t* samples, std::size_t count) override {
    std::lock_guard lock(mutex_);
    if (!capturing_) return;
    const auto* bytes = reinterpret_cast<const char*>(samples);
    std::size_t left = count * kBytesPerSample;
    // Samples that find no buffer are lost, as with a real device.
    while (left > 0 && !queue_.empty()) {
      WAVEHDR* header = queue_.front();
      const std::size_t room = header->dwBufferLength - header->dwBytesRecorded;
      const std::size_t n = std::min(room, left);
      std::memcpy(header->lpData + header->dwBytesRecorded, bytes, n);
      header->dwBytesRecorded += static_cast<DWORD>(n);
      bytes += n;
      left -= n;
      if (header->dwBytesRecorded == header->dwBufferLength) handBack();
    }
  }

 private:
  // Stops capturing; the buffer being filled goes back if it holds anything.
  MMRESULT stopCapturing() {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return MMSYSERR_INVALHANDLE;
      capturing_ = false;
    }
    // Outside the lock: the source's thread may be waiting for it in deliver.
    const MMRESULT result = source_->stop();
    std::lock_guard lock(mutex_);
    if (!queue_.empty() && queue_.front()->dwBytesRecorded > 0) handBack();
    return result;
  }

  // The first queued buffer is done: it leaves the queue and its window hears of it.
  void handBack() {
    WAVEHDR* header = queue_.front();
    queue_.pop_front();
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    if (window_)
      PostMessageW(window_, MM_WIM_DATA, reinterpret_cast<WPARAM>(handle_), reinterpret_cast<LPARAM>(header));
  }

  const HWAVEIN handle_;
  const HWND window_;
  const bool fake_;
  std::unique_ptr<CaptureSource> source_;
  std::mutex controlMutex_;  // start, stop, reset and close, one at a time
  std::mutex mutex_;         // the queue and the capture flag
  std::deque<WAVEHDR*> queue_;
  bool capturing_ = false;
  bool closed_ = false;
};

// Open devices by handle. Handles are never reused, so a closed one stays invalid.
std::mutex g_devicesMutex;
std::map<HWAVEIN, std::shared_ptr<Device>> g_devices;
std::uintptr_t g_nextHandle = 0x7A100;

std::shared_ptr<Device> Find(HWAVEIN handle) {
  std::lock_guard lock(g_devicesMutex);
  const auto found = g_devices.find(handle);
  return found == g_devices.end() ? nullptr : found->second;
}

// The code the fake device was told to fail this call with (the call is
// recorded); 0 for a real device.
MMRESULT Injected(const Device& device, WaveInCall call) { return device.fake() ? FakeFailureFor(call) : 0; }

bool ValidHeader(const WAVEHDR* header, UINT size) { return header && size >= sizeof(WAVEHDR); }

}  // namespace

MMRESULT waveInOpen(LPHWAVEIN device, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback, DWORD_PTR,
                    DWORD flags) {
  if (!device || !format) return MMSYSERR_INVALPARAM;
  *device = nullptr;
  if (flags != CALLBACK_WINDOW && flags != CALLBACK_NULL) return MMSYSERR_INVALFLAG;
  if (deviceId != WAVE_MAPPER && deviceId != 0) return MMSYSERR_BADDEVICEID;
  const bool fake = FakeCaptureInstalled();
  if (fake)
    if (const MMRESULT injected = FakeFailureFor(WaveInCall::Open)) return injected;
  if (!IsCaptureFormat(*format)) return WAVERR_BADFORMAT;
  const HWND window = flags == CALLBACK_WINDOW ? reinterpret_cast<HWND>(callback) : nullptr;
  HWAVEIN handle;
  {
    std::lock_guard lock(g_devicesMutex);
    handle = reinterpret_cast<HWAVEIN>(g_nextHandle++);
  }
  auto opened = std::make_shared<Device>(handle, window, fake);
  if (const MMRESULT result = opened->open()) return result;
  std::lock_guard lock(g_devicesMutex);
  g_devices.emplace(handle, std::move(opened));
  *device = handle;
  return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT headerSize) {
  const auto device = Find(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  if (const MMRESULT injected = Injected(*device, WaveInCall::Prepare)) return injected;
  if (!ValidHeader(header, headerSize) || !header->lpData || header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT waveInAddBuffer(HWAVEIN handle, LPWAVEHDR header, UINT headerSize) {
  const auto device = Find(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  if (const MMRESULT injected = Injected(*device, WaveInCall::AddBuffer)) return injected;
  if (!ValidHeader(header, headerSize)) return MMSYSERR_INVALPARAM;
  return device->add(header);
}

MMRESULT waveInStart(HWAVEIN handle) {
  const auto device = Find(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  if (const MMRESULT injected = Injected(*device, WaveInCall::Start)) return injected;
  return device->start();
}

MMRESULT waveInStop(HWAVEIN handle) {
  const auto device = Find(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  if (const MMRESULT injected = Injected(*device, WaveInCall::Stop)) return injected;
  return device->stop();
}

MMRESULT waveInReset(HWAVEIN handle) {
  const auto device = Find(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  if (const MMRESULT injected = Injected(*device, WaveInCall::Reset)) return injected;
  return device->reset();
}

MMRESULT waveInUnprepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT headerSize) {
  const auto device = Find(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  if (const MMRESULT injected = Injected(*device, WaveInCall::Unprepare)) return injected;
  if (!ValidHeader(header, headerSize)) return MMSYSERR_INVALPARAM;
  if (device->queued(header)) return WAVERR_STILLPLAYING;
  header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT waveInClose(HWAVEIN handle) {
  std::shared_ptr<Device> device;
  {
    std::lock_guard lock(g_devicesMutex);
    const auto found = g_devices.find(handle);
    if (found == g_devices.end()) return MMSYSERR_INVALHANDLE;
    if (const MMRESULT injected = Injected(*found->second, WaveInCall::Close)) return injected;
    if (!found->second->idle()) return WAVERR_STILLPLAYING;
    device = std::move(found->second);
    g_devices.erase(found);
  }
  device->close();
  return MMSYSERR_NOERROR;
}
