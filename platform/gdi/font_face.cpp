#include "platform/gdi/font_face.h"

#include <SDL2/SDL_ttf.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "platform/gdi/gdi.h"
#include "platform/system/wide_text.h"

namespace {

// FreeType state behind SDL_ttf is shared; every call into it holds this.
std::mutex g_ttfMutex;

struct TtfCloser {
  void operator()(TTF_Font* font) const { TTF_CloseFont(font); }
};
using TtfPtr = std::unique_ptr<TTF_Font, TtfCloser>;

// The largest face we agree to open; beyond it a glyph would be a poster.
constexpr int kMaxPixelHeight = 1000;
// Sizes are chosen in eighths of a pixel; SDL_ttf takes them as a 1-point
// font at 72 * size DPI, so one eighth of a pixel is 9 DPI.
constexpr int kDpiPerEighth = 9;

struct FaceFile {
  std::string path;
  int index = 0;
  int style = TTF_STYLE_NORMAL;  // synthesised bold/italic and decorations
};

bool EnsureTtf() {
  static const bool ready = TTF_Init() == 0;
  return ready;
}

const char* GenericFamily(BYTE pitchAndFamily) {
  const int family = pitchAndFamily & 0xF0;
  const int pitch = pitchAndFamily & 0x03;
  if (pitch == FIXED_PITCH || family == FF_MODERN) return "monospace";
  if (family == FF_ROMAN) return "serif";
  return "sans-serif";
}

std::string FaceName(const LOGFONTW& logfont) {
  const WCHAR* end = std::find(logfont.lfFaceName, logfont.lfFaceName + LF_FACESIZE, L'\0');
  return WideToUtf8(std::wstring_view(logfont.lfFaceName, end - logfont.lfFaceName));
}

std::optional<FaceFile> MatchFace(const std::string& family, bool bold, bool italic) {
  FcPattern* pattern = FcPatternCreate();
  if (!pattern) return std::nullopt;
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  FcPatternDestroy(pattern);
  if (!match) return std::nullopt;

  std::optional<FaceFile> face;
  FcChar8* file = nullptr;
  if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file) {
    face.emplace();
    face->path = reinterpret_cast<const char*>(file);
    FcPatternGetInteger(match, FC_INDEX, 0, &face->index);
    int weight = FC_WEIGHT_REGULAR;
    int slant = FC_SLANT_ROMAN;
    FcPatternGetInteger(match, FC_WEIGHT, 0, &weight);
    FcPatternGetInteger(match, FC_SLANT, 0, &slant);
    if (bold && weight < FC_WEIGHT_DEMIBOLD) face->style |= TTF_STYLE_BOLD;
    if (italic && slant == FC_SLANT_ROMAN) face->style |= TTF_STYLE_ITALIC;
  }
  FcPatternDestroy(match);
  return face;
}

// Face files by (family, bold, italic); fontconfig is asked once for each.
std::optional<FaceFile> CachedMatch(const std::string& family, bool bold, bool italic) {
  static std::map<std::tuple<std::string, bool, bool>, std::optional<FaceFile>> cache;
  const auto key = std::make_tuple(family, bold, italic);
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.emplace(key, MatchFace(family, bold, italic)).first;
  return it->second;
}

// Opened fonts by (file, index, size, style), kept for the life of the process.
TTF_Font* CachedFont(const FaceFile& face, int dpi) {
  static std::map<std::tuple<std::string, int, int, int>, TtfPtr> cache;
  const auto key = std::make_tuple(face.path, face.index, dpi, face.style);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second.get();
  TtfPtr font(TTF_OpenFontIndexDPI(face.path.c_str(), 1, face.index, dpi, dpi));
  if (!font) return nullptr;
  TTF_SetFontHinting(font.get(), TTF_HINTING_NORMAL);
  TTF_SetFontKerning(font.get(), 1);
  TTF_SetFontStyle(font.get(), face.style);
  return cache.emplace(key, std::move(font)).first->second.get();
}

// The largest size whose line height does not exceed the wanted cell height,
// as GDI scales a face so that its ascent plus descent fill the cell.
int DpiForCellHeight(const FaceFile& face, int cellHeight) {
  TTF_Font* probe = CachedFont(face, kDpiPerEighth * 8 * cellHeight);
  if (!probe) return 0;
  int low = 1;                 // eighths of a pixel of em size
  int high = cellHeight * 8;   // every face's line is at least its em
  while (low < high) {
    const int mid = (low + high + 1) / 2;
    TTF_SetFontSizeDPI(probe, 1, mid * kDpiPerEighth, mid * kDpiPerEighth);
    if (TTF_FontHeight(probe) <= cellHeight) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  TTF_SetFontSizeDPI(probe, 1, kDpiPerEighth * 8 * cellHeight, kDpiPerEighth * 8 * cellHeight);
  return low * kDpiPerEighth;
}

int MaxAdvance(TTF_Font* font) {
  int widest = 0;
  for (Uint32 ch = 0x20; ch < 0x7F; ++ch) {
    int minx, maxx, miny, maxy, advance = 0;
    if (TTF_GlyphMetrics32(font, ch, &minx, &maxx, &miny, &maxy, &advance) == 0) {
      widest = std::max(widest, advance);
    }
  }
  return widest;
}

FontMetrics MeasureMetrics(TTF_Font* font, int cellHeight, double em) {
  FontMetrics m;
  m.cellHeight = cellHeight;
  m.ascent = std::min(TTF_FontAscent(font), cellHeight);
  m.descent = cellHeight - m.ascent;
  m.internalLeading = std::max(0, cellHeight - static_cast<int>(std::lround(em)));
  m.externalLeading = std::max(0, TTF_FontLineSkip(font) - TTF_FontHeight(font));
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  int w = 0, h = 0;
  TTF_SizeUTF8(font, kAlphabet, &w, &h);
  m.averageCharWidth = (w + 26) / 52;
  m.maxCharWidth = MaxAdvance(font);
  return m;
}

}  // namespace

int FontFace::measure(std::string_view utf8) const {
  if (utf8.empty()) return 0;
  const std::string text(utf8);
  std::lock_guard lock(g_ttfMutex);
  int w = 0, h = 0;
  return TTF_SizeUTF8(font_, text.c_str(), &w, &h) == 0 ? w : 0;
}

bool FontFace::render(std::string_view utf8, Coverage& out) const {
  if (utf8.empty()) return false;
  const std::string text(utf8);
  std::lock_guard lock(g_ttfMutex);
  SDL_Surface* glyphs = TTF_RenderUTF8_Blended(font_, text.c_str(), SDL_Color{255, 255, 255, 255});
  if (!glyphs) return false;
  const std::unique_ptr<SDL_Surface, decltype(&SDL_FreeSurface)> owner(glyphs, SDL_FreeSurface);
  if (glyphs->format->BytesPerPixel != 4) return false;
  out.width = glyphs->w;
  out.height = std::min(glyphs->h, metrics_.cellHeight);
  out.values.resize(static_cast<std::size_t>(out.width) * out.height);
  const Uint32 alphaMask = glyphs->format->Amask;
  const int alphaShift = glyphs->format->Ashift;
  for (int y = 0; y < out.height; ++y) {
    const auto* row = reinterpret_cast<const Uint32*>(static_cast<const Uint8*>(glyphs->pixels) +
                                                      static_cast<std::ptrdiff_t>(y) * glyphs->pitch);
    for (int x = 0; x < out.width; ++x) {
      out.values[static_cast<std::size_t>(y) * out.width + x] =
          static_cast<std::uint8_t>((row[x] & alphaMask) >> alphaShift);
    }
  }
  return true;
}

std::shared_ptr<FontFace> OpenFontFace(const LOGFONTW& logfont) {
  std::lock_guard lock(g_ttfMutex);
  if (!EnsureTtf()) return nullptr;
  const LONG height = logfont.lfHeight;
  if (height > kMaxPixelHeight || height < -kMaxPixelHeight) return nullptr;

  std::string family = FaceName(logfont);
  if (family.empty()) family = GenericFamily(logfont.lfPitchAndFamily);
  std::optional<FaceFile> face = CachedMatch(family, logfont.lfWeight >= 600, logfont.lfItalic != 0);
  if (!face) return nullptr;
  if (logfont.lfUnderline) face->style |= TTF_STYLE_UNDERLINE;
  if (logfont.lfStrikeOut) face->style |= TTF_STYLE_STRIKETHROUGH;

  // Height 0 asks for the default size; GDI's is a 16-pixel cell.
  const int cellWanted = height == 0 ? 16 : height;
  int dpi = 0;
  if (cellWanted > 0) {
    dpi = DpiForCellHeight(*face, cellWanted);
  } else {
    dpi = -cellWanted * 72;
  }
  if (dpi <= 0) return nullptr;
  TTF_Font* font = CachedFont(*face, dpi);
  if (!font) return nullptr;
  const int cell = cellWanted > 0 ? cellWanted : TTF_FontHeight(font);
  return std::make_shared<FontFace>(font, MeasureMetrics(font, cell, dpi / 72.0));
}

void FillTextMetrics(const FontFace& face, const LOGFONTW& logfont, TEXTMETRICW& out) {
  const FontMetrics& m = face.metrics();
  out = TEXTMETRICW{};
  out.tmHeight = m.cellHeight;
  out.tmAscent = m.ascent;
  out.tmDescent = m.descent;
  out.tmInternalLeading = m.internalLeading;
  out.tmExternalLeading = m.externalLeading;
  out.tmAveCharWidth = m.averageCharWidth;
  out.tmMaxCharWidth = m.maxCharWidth;
  out.tmWeight = logfont.lfWeight == 0 ? FW_NORMAL : logfont.lfWeight;
  out.tmDigitizedAspectX = 96;
  out.tmDigitizedAspectY = 96;
  out.tmFirstChar = 0x20;
  out.tmLastChar = 0xFFFC;
  out.tmDefaultChar = 0x1F;
  out.tmBreakChar = 0x20;
  out.tmItalic = logfont.lfItalic;
  out.tmUnderlined = logfont.lfUnderline;
  out.tmStruckOut = logfont.lfStrikeOut;
  // TrueType outline; the low bit set means variable pitch, as GDI reports it.
  const bool fixed = (logfont.lfPitchAndFamily & 0x03) == FIXED_PITCH;
  out.tmPitchAndFamily = static_cast<BYTE>((logfont.lfPitchAndFamily & 0xF0) | 0x06 | (fixed ? 0 : 0x01));
  out.tmCharSet = 0;
}
