// An opened outline font at one pixel size, with the GDI metrics that
// describe it, and the two things text drawing needs from it: the advance
// width of a run of text and its anti-aliased glyph coverage.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/types.h"

struct LOGFONTW;
struct TEXTMETRICW;
struct _TTF_Font;

// Glyph coverage of one line of text: 0 (paper) to 255 (ink) per pixel.
struct Coverage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> values;
};

struct FontMetrics {
  int cellHeight = 0;  // ascent + descent, the height of one line
  int ascent = 0;
  int descent = 0;
  int internalLeading = 0;
  int externalLeading = 0;
  int averageCharWidth = 0;
  int maxCharWidth = 0;
};

class FontFace {
 public:
  FontFace(_TTF_Font* font, const FontMetrics& metrics) : font_(font), metrics_(metrics) {}

  const FontMetrics& metrics() const { return metrics_; }
  // Width in pixels of UTF-8 text drawn on one line.
  int measure(std::string_view utf8) const;
  // Coverage of UTF-8 text, measure() wide and at most cellHeight tall,
  // its top row at the top of the text cell. False when there is nothing.
  bool render(std::string_view utf8, Coverage& out) const;

 private:
  _TTF_Font* font_;  // owned by the font cache, which outlives every face
  FontMetrics metrics_;
};

// Finds a face for the description through fontconfig and opens it at the
// size GDI would use: a positive height is the cell height, a negative one
// the em size. Null when no face can be found or opened.
std::shared_ptr<FontFace> OpenFontFace(const LOGFONTW& logfont);

// Fills a TEXTMETRICW from a face and the description it was made from.
void FillTextMetrics(const FontFace& face, const LOGFONTW& logfont, TEXTMETRICW& out);
