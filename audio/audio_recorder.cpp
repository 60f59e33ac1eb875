#include "audio/audio_recorder.h"

#include <algorithm>

#include "app/log.h"
#include "app/screen/screen_manager.h"
#include "platform/window/window.h"

namespace {

constexpr WAVEFORMATEX kCaptureFormat = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};

}  // namespace

AudioRecorder::AudioRecorder(HWND reportWindow)
    : m_pBuffer(std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize)),
      m_hWnd(reportWindow),
      m_pWaveHeader(std::make_unique<WAVEHDR>()) {
  std::copy(WAV_HEADER_TEMPLATE.begin(), WAV_HEADER_TEMPLATE.end(), m_pBuffer.get());
  m_pData = m_pBuffer.get() + WAV_HEADER_LENGTH;
  m_pWaveHeader->lpData = reinterpret_cast<LPSTR>(m_pData);
  m_pWaveHeader->dwBufferLength = kSampleBytes;
  m_pWaveHeader->dwFlags = 0;
}

AudioRecorder::~AudioRecorder() {
  std::lock_guard lock(m_mutex);
  // The device is stopped and made to give the buffer back before the
  // buffer goes, whatever the state says: reset() may have set it to idle
  // while the device was still filling the buffer.
  if (m_hWaveIn) {
    if (m_nState == RECORDING_ACTIVE) waveInStop(m_hWaveIn);
    waveInReset(m_hWaveIn);
  }
  if (m_pBuffer) waveInUnprepareHeader(m_hWaveIn, m_pWaveHeader.get(), sizeof(WAVEHDR));
  m_pWaveHeader.reset();
  m_pBuffer.reset();
  m_pData = nullptr;
  if (m_hWaveIn) {
    waveInClose(m_hWaveIn);
    m_hWaveIn = nullptr;
  }
}

int AudioRecorder::recordAudio() {
  std::lock_guard lock(m_mutex);
  if (m_nState != RECORDING_IDLE) {
    LogMessage("AudioRecorder::recordAudio: recorder not idle!\r\n");
    return RECORD_NOT_IDLE;
  }
  LogMessage("AudioRecorder::recordAudio: opening device\r\n");
  if (const MMRESULT code = openDevice()) {
    LogMessage("AudioRecorder::recordAudio: error opening audio device!\r\n");
    return handleRecordError(code);
  }
  LogMessage("AudioRecorder::recordAudio: setting up buffer\r\n");
  if (const MMRESULT code = setupBuffer()) {
    LogMessage("AudioRecorder::recordAudio: error setting up buffer!\r\n");
    abandonDevice();
    return handleRecordError(code);
  }
  LogMessage("AudioRecorder::recordAudio: beginning recording\r\n");
  m_nState = RECORDING_ACTIVE;
  // Windows belong to the user-interface thread; on the recording thread
  // the listening screen's own timer repaints instead.
  if (OnUserInterfaceThread()) RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT);
  if (const MMRESULT code = waveInStart(m_hWaveIn)) {
    LogMessage("AudioRecorder::recordAudio: error starting recording!\r\n");
    abandonDevice();
    return handleRecordError(code);
  }
  return RECORD_STARTED;
}

void AudioRecorder::cancelRecording() {
  std::lock_guard lock(m_mutex);
  LogMessage("AudioRecorder::cancelRecording: cancelling recording\r\n");
  if (m_nState != RECORDING_ACTIVE) {
    LogMessage("AudioRecorder::cancelRecording: no recording in progress!\r\n");
    return;
  }
  if (m_hWaveIn) {
    LogMessage("AudioRecorder::cancelRecording: stopping recording\r\n");
    waveInStop(m_hWaveIn);
    LogMessage("AudioRecorder::cancelRecording: resetting\r\n");
    waveInReset(m_hWaveIn);
    LogMessage("AudioRecorder::cancelRecording: closing\r\n");
    waveInClose(m_hWaveIn);
    m_hWaveIn = nullptr;
  }
  LogMessage("AudioRecorder::cancelRecording: resetting state\r\n");
  m_nState = RECORDING_IDLE;
}

void AudioRecorder::reset() {
  std::lock_guard lock(m_mutex);
  LogMessage("AudioRecorder::reset: reseting state to RECORDING_IDLE\r\n");
  m_nState = RECORDING_IDLE;
}

bool AudioRecorder::recordingComplete() {
  std::lock_guard lock(m_mutex);
  if (m_nDiscardedHandBacks > 0) {
    --m_nDiscardedHandBacks;
    return false;
  }
  m_nState = RECORDING_IDLE;
  if (m_hWaveIn) waveInClose(m_hWaveIn);
  m_hWaveIn = nullptr;
  return true;
}

int AudioRecorder::handleRecordError(MMRESULT code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return RECORD_STARTED;
    case MMSYSERR_INVALHANDLE:
      LogMessage("AudioRecorder::handleRecordError: no device!\r\n");
      return RECORD_NO_DEVICE;
    case MMSYSERR_NODRIVER:
      LogMessage("AudioRecorder::handleRecordError: no driver!\r\n");
      return RECORD_NO_DEVICE;
    case MMSYSERR_NOMEM:
      LogMessage("AudioRecorder::handleRecordError: unable to allocate or lock memory!\r\n");
      return RECORD_NO_MEMORY;
    case MMSYSERR_INVALPARAM:
      LogMessage("AudioRecorder::handleRecordError: audio record alignment error!\r\n");
      return RECORD_ALIGNMENT_ERROR;
    default:
      LogMessage("AudioRecorder::handleRecordError: unknown error!\r\n");
      return RECORD_OTHER_ERROR;
  }
}

MMRESULT AudioRecorder::openDevice() {
  return waveInOpen(&m_hWaveIn, WAVE_MAPPER, &kCaptureFormat, reinterpret_cast<DWORD_PTR>(m_hWnd), 0,
                    CALLBACK_WINDOW);
}

MMRESULT AudioRecorder::setupBuffer() {
  if (!m_pData) return MMSYSERR_NOMEM;
  if (const MMRESULT code = waveInPrepareHeader(m_hWaveIn, m_pWaveHeader.get(), sizeof(WAVEHDR))) return code;
  return waveInAddBuffer(m_hWaveIn, m_pWaveHeader.get(), sizeof(WAVEHDR));
}

void AudioRecorder::abandonDevice() {
  if (m_pWaveHeader->dwFlags & WHDR_INQUEUE) {
    // The lock is held, so the hand-back's MM_WIM_DATA cannot be handled
    // before it is counted.
    waveInReset(m_hWaveIn);
    if (!(m_pWaveHeader->dwFlags & WHDR_INQUEUE)) ++m_nDiscardedHandBacks;
  }
  waveInUnprepareHeader(m_hWaveIn, m_pWaveHeader.get(), sizeof(WAVEHDR));
  waveInClose(m_hWaveIn);
  m_hWaveIn = nullptr;
}
