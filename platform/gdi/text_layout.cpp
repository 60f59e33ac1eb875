#include "platform/gdi/text_layout.h"

#include "platform/gdi/gdi.h"

namespace {

struct Prefixed {
  std::wstring text;
  std::size_t underline = std::wstring::npos;
};

// "&&" shows one ampersand; "&x" shows x underlined; a final lone '&' is dropped.
Prefixed StripPrefixes(std::wstring_view text) {
  Prefixed out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'&') {
      out.text += text[i];
      continue;
    }
    if (i + 1 >= text.size()) break;
    if (text[i + 1] != L'&') out.underline = out.text.size();
    out.text += text[++i];
  }
  return out;
}

bool IsBreak(wchar_t c) { return c == L'\r' || c == L'\n'; }

class LineBuilder {
 public:
  LineBuilder(const std::wstring& text, std::size_t underline, const MeasureFunction& measure)
      : text_(text), underline_(underline), measure_(measure) {}

  void emit(std::size_t begin, std::size_t end, bool trim) {
    if (trim) {
      while (end > begin && text_[end - 1] == L' ') --end;
    }
    TextLine line;
    line.text = text_.substr(begin, end - begin);
    line.width = measure_(line.text);
    if (underline_ != std::wstring::npos && underline_ >= begin && underline_ < end) {
      line.underline = static_cast<int>(underline_ - begin);
    }
    lines_.push_back(std::move(line));
  }

  int widthOf(std::size_t begin, std::size_t end) const {
    while (end > begin && text_[end - 1] == L' ') --end;
    return measure_(std::wstring_view(text_).substr(begin, end - begin));
  }

  // Greedy wrapping of one paragraph [begin, end) at blanks; a word wider
  // than the line is cut where it must be, one character at least per line.
  void wrap(std::size_t begin, std::size_t end, int maxWidth) {
    std::size_t lineStart = begin;
    std::size_t lastFit = std::wstring::npos;
    std::size_t i = begin;
    while (i < end) {
      std::size_t j = i;
      while (j < end && text_[j] == L' ') ++j;
      while (j < end && text_[j] != L' ') ++j;
      if (widthOf(lineStart, j) <= maxWidth) {
        lastFit = j;
        i = j;
        continue;
      }
      if (lastFit != std::wstring::npos) {
        emit(lineStart, lastFit, true);
        lineStart = lastFit;
      } else {
        std::size_t cut = lineStart + 1;
        while (cut + 1 <= j && widthOf(lineStart, cut + 1) <= maxWidth) ++cut;
        emit(lineStart, cut, true);
        lineStart = cut;
      }
      // The blanks at a break belong to neither line.
      while (lineStart < end && text_[lineStart] == L' ') ++lineStart;
      lastFit = std::wstring::npos;
      i = lineStart;
    }
    if (lineStart < end || begin == end) emit(lineStart, end, true);
  }

  std::vector<TextLine> take() { return std::move(lines_); }

 private:
  const std::wstring& text_;
  std::size_t underline_;
  const MeasureFunction& measure_;
  std::vector<TextLine> lines_;
};

}  // namespace

std::vector<TextLine> LayoutText(std::wstring_view raw, UINT format, int maxWidth,
                                 const MeasureFunction& measure) {
  Prefixed prefixed;
  if (format & DT_NOPREFIX) {
    prefixed.text = std::wstring(raw);
  } else {
    prefixed = StripPrefixes(raw);
  }
  std::wstring& text = prefixed.text;

  if (format & DT_SINGLELINE) {
    // One line whatever it holds; line-break characters are not shown.
    std::wstring shown;
    std::size_t underline = std::wstring::npos;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (IsBreak(text[i])) continue;
      if (i == prefixed.underline) underline = shown.size();
      shown += text[i];
    }
    LineBuilder builder(shown, underline, measure);
    builder.emit(0, shown.size(), false);
    return builder.take();
  }

  LineBuilder builder(text, prefixed.underline, measure);
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = pos;
    while (end < text.size() && !IsBreak(text[end])) ++end;
    if (format & DT_WORDBREAK) {
      builder.wrap(pos, end, maxWidth);
    } else {
      builder.emit(pos, end, false);
    }
    // CR LF, a lone LF and a lone CR each end one line.
    pos = end;
    if (pos < text.size() && text[pos] == L'\r') ++pos;
    if (pos < text.size() && text[pos] == L'\n' && (pos == end || text[pos - 1] == L'\r')) ++pos;
  }
  return builder.take();
}
