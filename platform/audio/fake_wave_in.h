// A wave-input device for tests: no sound hardware, no clock. While it is
// installed waveInOpen opens it; each call can be made to fail with a chosen
// code, every call is recorded, and the test supplies the samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

struct FakeWaveInFailures {
  MMRESULT open = 0;
  MMRESULT prepare = 0;
  MMRESULT addBuffer = 0;
  MMRESULT start = 0;
  MMRESULT stop = 0;
  MMRESULT reset = 0;
  MMRESULT unprepare = 0;
  MMRESULT close = 0;
  // Every call first waits this long, to widen the window of a race.
  int delayMs = 0;
};

void InstallFakeWaveIn(const FakeWaveInFailures& failures = {});
void RemoveFakeWaveIn();

// The wave-input calls made on the fake device so far, oldest first, by
// name: "open", "prepare", "add", "start", "stop", "reset", "unprepare",
// "close" (failed calls included).
std::vector<std::string> FakeWaveInCalls();

// Captures these samples on the fake device if it has been started (and not
// stopped since); false otherwise. Full buffers are handed back as usual.
bool FakeWaveInCapture(const std::int16_t* samples, std::size_t count);
// Captures `count` samples of one value.
bool FakeWaveInCaptureConstant(std::int16_t value, std::size_t count);
