// The layout that the listening and searching pages share below the title
// banner: a caption centred in the first third, a strip of bars tiled across
// the second third and moving left as its offset grows, the logo in the
// bottom-right corner and the "Cancel" label at the bottom left.
#pragma once

#include "app/screen/picture.h"
#include "platform/types.h"

struct StripPage {
  const Picture& caption;
  const Picture& strip;
  const Picture& logo;
  const Picture& cancelLabel;
};

// Pixels the strip moves per 100 ms tick.
constexpr int kStripStep = 15;

// Draws into the back buffer the area of `client` from `top` down.
void DrawStripPage(const StripPage& page, const RECT& client, int top, int offset);

// How many strips cover a display this wide, with room to scroll: 2 on a
// display no wider than the strip, else one per strip width plus 2.
int StripTileCount(int screenWidth, int stripWidth);

// The offset after one tick: kStripStep on, back to 0 once past the strip's width.
int NextStripOffset(int offset, int stripWidth);
