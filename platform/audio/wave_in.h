// Waveform audio input with the Win32 names, values and semantics the
// recorder relies on: one capture format (PCM, mono, 8000 Hz, 16-bit),
// completion reported by posting MM_WIM_DATA to a window.
//
// Where the samples come from is chosen at waveInOpen, in this order: the
// fake device of the tests (fake_wave_in.h), the file set with
// UseMicrophoneFile (microphone_file.h), and the default capture device
// where the sound devices are in use (sound_devices.h). With none of these waveInOpen fails with
// MMSYSERR_NODRIVER.
//
// Buffers are filled in the order they were added. A full buffer is marked
// WHDR_DONE, leaves the queue, and MM_WIM_DATA is posted to the window with
// wParam = the device and lParam = the WAVEHDR. waveInStop hands back the
// buffer being filled if it holds any sample; waveInReset hands back every
// queued buffer. Every function may be called from any thread.
#pragma once

#include "platform/types.h"

struct HWAVEIN__;
using HWAVEIN = HWAVEIN__*;
using LPHWAVEIN = HWAVEIN*;
using DWORD_PTR = UINT_PTR;

struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};

struct WAVEHDR {
  LPSTR lpData;
  DWORD dwBufferLength;
  DWORD dwBytesRecorded;
  DWORD_PTR dwUser;
  DWORD dwFlags;
  DWORD dwLoops;
  WAVEHDR* lpNext;
  DWORD_PTR reserved;
};
using LPWAVEHDR = WAVEHDR*;

constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);
constexpr WORD WAVE_FORMAT_PCM = 1;

// waveInOpen flags.
constexpr DWORD CALLBACK_NULL = 0x00000000;
constexpr DWORD CALLBACK_WINDOW = 0x00010000;

// WAVEHDR flags.
constexpr DWORD WHDR_DONE = 0x00000001;
constexpr DWORD WHDR_PREPARED = 0x00000002;
constexpr DWORD WHDR_INQUEUE = 0x00000010;

// Result codes.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

// deviceId: WAVE_MAPPER or 0. callback: the window (CALLBACK_WINDOW) or
// nothing (CALLBACK_NULL). Any other format than the one above fails with
// WAVERR_BADFORMAT.
MMRESULT waveInOpen(LPHWAVEIN device, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags);
MMRESULT waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT headerSize);
MMRESULT waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT headerSize);
MMRESULT waveInStart(HWAVEIN device);
MMRESULT waveInStop(HWAVEIN device);
MMRESULT waveInReset(HWAVEIN device);
// WAVERR_STILLPLAYING while the buffer is queued.
MMRESULT waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT headerSize);
// WAVERR_STILLPLAYING while buffers are queued (reset first).
MMRESULT waveInClose(HWAVEIN device);
