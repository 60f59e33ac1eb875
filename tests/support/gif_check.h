// A check for screen tests: does the window show a compiled-in GIF at a place?
#pragma once

#include <gtest/gtest.h>

#include "tests/support/headless_app.h"

// Every window pixel of the GIF's w x h rectangle at (x, y) is the GIF's own;
// pixels outside the window are not compared. With `wrap`, the GIF is a strip
// tiled every `wrap` pixels, and the rectangle starts at its column `gifX`.
inline ::testing::AssertionResult ShowsGif(const HeadlessApp& app, int gifId, int x, int y, int w, int h, int gifX = 0,
                                           int wrap = 0) {
  const int width = app.pixels().width;
  const int height = app.pixels().height;
  int mismatches = 0;
  for (int j = 0; j < h; ++j)
    for (int i = 0; i < w; ++i) {
      if (x + i < 0 || y + j < 0 || x + i >= width || y + j >= height) continue;
      const int column = wrap ? (gifX + i) % wrap : i;
      if (app.pixel(x + i, y + j) != GifPixel(gifId, column, j)) ++mismatches;
    }
  if (mismatches == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << mismatches << " pixels of GIF " << gifId << " differ at (" << x << ", " << y
                                       << ")";
}
