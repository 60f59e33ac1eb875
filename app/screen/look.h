// The common look of the pages: colours, the text font, page composition.
#pragma once

#include "app/screen/gdi_handle.h"
#include "platform/types.h"

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
// Selected rows and entries.
constexpr COLORREF kHighlight = RGB(255, 252, 0);

// The one font description of the pages: the given cell height, normal
// weight, ClearType quality, variable pitch, Swiss family, no face name.
FontHandle CreatePageFont(int height);

// Copies the composed page from the back buffer to the paint target.
void PresentBackBuffer(HDC target, const RECT& client);
