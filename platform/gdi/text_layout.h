// How DrawTextW cuts text into lines: prefix characters, explicit line
// breaks and word wrapping, independent of pixels except through a
// measuring function.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

struct TextLine {
  std::wstring text;     // what is shown, trailing blanks of a wrapped line removed
  int width = 0;         // its width in pixels
  int underline = -1;    // index in text of the character a '&' marks, or -1
};

using MeasureFunction = std::function<int(std::wstring_view)>;

// Lines of `text` for the DrawTextW format bits DT_SINGLELINE, DT_WORDBREAK
// and DT_NOPREFIX, wrapped to maxWidth pixels when words may break.
std::vector<TextLine> LayoutText(std::wstring_view text, UINT format, int maxWidth,
                                 const MeasureFunction& measure);
