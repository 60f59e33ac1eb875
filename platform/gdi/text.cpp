// DrawTextW and text measuring: lines from the layout, glyph coverage from
// the font face, composited in the DC's text colour over an optional
// background cell.
#include <cwchar>

#include "platform/gdi/raster.h"
#include "platform/gdi/text_layout.h"
#include "platform/system/wide_text.h"

namespace {

int Measure(const FontFace& face, std::wstring_view text) { return face.measure(WideToUtf8(text)); }

std::wstring_view TextOf(LPCWSTR text, int count) {
  const std::size_t length = count < 0 ? std::wcslen(text) : static_cast<std::size_t>(count);
  return std::wstring_view(text, length);
}

void Composite(Surface& s, const RECT& clip, const Coverage& glyphs, int x, int y, std::uint32_t color) {
  const RECT area = Intersect(clip, RECT{x, y, x + glyphs.width, y + glyphs.height});
  for (LONG py = area.top; py < area.bottom; ++py) {
    const std::uint8_t* cover = &glyphs.values[static_cast<std::size_t>(py - y) * glyphs.width];
    std::uint32_t* row = &s.pixels[static_cast<std::size_t>(py) * s.width];
    for (LONG px = area.left; px < area.right; ++px) {
      const unsigned c = cover[px - x];
      if (c == 255) {
        row[px] = color;
      } else if (c != 0) {
        row[px] = Blend(row[px], color, c);
      }
    }
  }
}

void DrawLine(DeviceContext& dc, const FontFace& face, const TextLine& line, int x, int y, const RECT& clip) {
  Surface& s = *dc.target();
  const int height = face.metrics().cellHeight;
  if (dc.bkMode == OPAQUE) {
    const RECT cell = Intersect(clip, RECT{x, y, x + line.width, y + height});
    if (!IsEmpty(cell)) FillArea(s, cell, ToPixel(dc.bkColor));
  }
  const std::uint32_t ink = ToPixel(dc.textColor);
  Coverage glyphs;
  if (face.render(WideToUtf8(line.text), glyphs)) Composite(s, clip, glyphs, x, y, ink);
  if (line.underline >= 0) {
    const std::wstring_view text(line.text);
    const int from = x + Measure(face, text.substr(0, line.underline));
    const int to = x + Measure(face, text.substr(0, line.underline + 1));
    const int underlineY = y + face.metrics().ascent + 1;
    const RECT bar = Intersect(clip, RECT{from, underlineY, to, underlineY + 1});
    if (!IsEmpty(bar)) FillArea(s, bar, ink);
  }
}

}  // namespace

int DrawTextW(HDC hdc, LPCWSTR text, int count, RECT* rect, UINT format) {
  DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc || !text || !rect || !dc->font->face) return 0;
  const FontFace& face = *dc->font->face;
  const int lineHeight = face.metrics().cellHeight;
  const std::wstring_view source = TextOf(text, count);

  // Empty text draws nothing but still reports one line, as GDI does.
  if (source.empty()) {
    if (format & DT_CALCRECT) {
      rect->right = rect->left;
      rect->bottom = rect->top + ((format & DT_SINGLELINE) ? lineHeight : 0);
    }
    return lineHeight;
  }

  const auto measure = [&face](std::wstring_view run) { return Measure(face, run); };
  const std::vector<TextLine> lines = LayoutText(source, format, rect->right - rect->left, measure);
  const int textHeight = static_cast<int>(lines.size()) * lineHeight;

  if (format & DT_CALCRECT) {
    int widest = 0;
    for (const TextLine& line : lines) widest = std::max(widest, line.width);
    rect->right = rect->left + widest;
    rect->bottom = rect->top + textHeight;
    return textHeight;
  }

  // Vertical placement applies to single lines only; other text starts at the top.
  int y = rect->top;
  if (format & DT_SINGLELINE) {
    if (format & DT_VCENTER) {
      y = rect->top + (rect->bottom - rect->top) / 2 - lineHeight / 2;
    } else if (format & DT_BOTTOM) {
      y = rect->bottom - lineHeight;
    }
  }

  const bool clipToRect = !(format & DT_NOCLIP);
  RECT clip = DrawableArea(*dc);
  if (clipToRect) clip = Intersect(clip, *rect);
  for (const TextLine& line : lines) {
    int x = rect->left;
    if (format & DT_CENTER) {
      x = (rect->left + rect->right - line.width) / 2;
    } else if (format & DT_RIGHT) {
      x = rect->right - line.width;
    }
    if (!IsEmpty(clip)) DrawLine(*dc, face, line, x, y, clip);
    y += lineHeight;
    // Like GDI, stop after the first line that reaches past the bottom; the
    // height returned counts the lines drawn.
    if (clipToRect && y > rect->bottom) break;
  }
  return y - rect->top;
}

BOOL GetTextExtentPoint32W(HDC hdc, LPCWSTR text, int count, SIZE* size) {
  const DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc || !size || !dc->font->face || (!text && count != 0) || count < 0) return FALSE;
  const FontFace& face = *dc->font->face;
  size->cx = count == 0 ? 0 : Measure(face, std::wstring_view(text, count));
  size->cy = face.metrics().cellHeight;
  return TRUE;
}
