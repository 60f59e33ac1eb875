// Where an open wave-input device gets its samples: the inside of
// platform/audio. A source pushes 8000 Hz mono 16-bit samples to its sink
// from a thread of its own while it runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/types.h"

class SampleSink {
 public:
  virtual ~SampleSink() = default;
  virtual void deliver(const std::int16_t* samples, std::size_t count) = 0;
};

class CaptureSource {
 public:
  virtual ~CaptureSource() = default;
  virtual MMRESULT start() = 0;
  // Returns once no delivery is under way or will follow until start().
  virtual MMRESULT stop() = 0;
};

constexpr int kCaptureRate = 8000;

// Each returns null with *error set when it cannot open.
std::unique_ptr<CaptureSource> OpenFakeCapture(SampleSink& sink, MMRESULT* error);
std::unique_ptr<CaptureSource> OpenFileCapture(SampleSink& sink, MMRESULT* error);
std::unique_ptr<CaptureSource> OpenSdlCapture(SampleSink& sink, MMRESULT* error);

// Whether the fake device or a microphone file is configured.
bool FakeCaptureInstalled();
bool FileCaptureConfigured();

// The call names of fake_wave_in.h; the fake device fails a call with the
// code chosen for it, 0 for none.
enum class WaveInCall { Open, Prepare, AddBuffer, Start, Stop, Reset, Unprepare, Close };
MMRESULT FakeFailureFor(WaveInCall call);
