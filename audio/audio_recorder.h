// The one recorder of the process: 11 seconds of 8000 Hz mono 16-bit sound
// recorded straight behind the constant WAV header, so the finished buffer
// is the identification request's body without a copy.
//
// recordAudio runs on the recording thread; everything else on the
// user-interface thread. One lock makes each operation whole, so a cancel
// never meets a half-opened device.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "audio/wav_header.h"
#include "platform/audio/wave_in.h"
#include "platform/types.h"

enum RecordingState : std::int32_t { RECORDING_IDLE = 0, RECORDING_ACTIVE = 1 };

// Results of recordAudio.
constexpr int RECORD_STARTED = 0;
constexpr int RECORD_NO_DEVICE = 1;
constexpr int RECORD_ALIGNMENT_ERROR = 2;
constexpr int RECORD_NO_MEMORY = 3;
constexpr int RECORD_NOT_IDLE = 4;
constexpr int RECORD_OTHER_ERROR = 5;

class AudioRecorder {
 public:
  static constexpr DWORD kSampleBytes = 176000;  // 88000 samples, 11.0 s
  static constexpr DWORD kBufferSize = WAV_HEADER_LENGTH + kSampleBytes;

  explicit AudioRecorder(HWND reportWindow);
  ~AudioRecorder();
  AudioRecorder(const AudioRecorder&) = delete;
  AudioRecorder& operator=(const AudioRecorder&) = delete;

  // Opens the device, queues the buffer and starts; RECORD_STARTED or the
  // reason it could not. On failure the device is closed again.
  int recordAudio();
  // Stops a recording in progress and closes the device; the device then
  // hands the buffer back (MM_WIM_DATA follows).
  void cancelRecording();
  // Back to RECORDING_IDLE; nothing else.
  void reset();
  // The device has handed the buffer back. False when that buffer was only
  // handed back to undo a failed start: no recording ended with it.
  bool recordingComplete();
  int handleRecordError(MMRESULT code);

  // The request body: header and samples.
  const std::uint8_t* buffer() const { return m_pBuffer.get(); }
  DWORD bufferSize() const { return m_nBufferSize; }
  RecordingState state() const { return m_nState.load(); }

 private:
  MMRESULT openDevice();
  MMRESULT setupBuffer();
  // Undoes whatever of open, prepare and queue had been done.
  void abandonDevice();

  std::uint8_t* m_pData;  // the samples: buffer + 4096
  std::unique_ptr<std::uint8_t[]> m_pBuffer;
  std::atomic<RecordingState> m_nState{RECORDING_IDLE};
  const DWORD m_nBufferSize = kBufferSize;
  HWAVEIN m_hWaveIn = nullptr;
  const HWND m_hWnd;
  std::unique_ptr<WAVEHDR> m_pWaveHeader;

  std::mutex m_mutex;
  // Buffers handed back by abandonDevice whose MM_WIM_DATA is still to come.
  int m_nDiscardedHandBacks = 0;
};
