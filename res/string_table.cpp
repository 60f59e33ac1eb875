// Reading res/strings.txt: lines of "<id><TAB><text>" in UTF-8 with escapes.

#include "res/string_table.h"

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes one UTF-8 sequence starting at text[pos] and advances pos past it.
// A malformed sequence yields U+FFFD and skips one byte, so nothing in the
// file can make the reader run past its end.
char32_t DecodeUtf8(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos++]);
  if (lead < 0x80) return lead;
  int length = 0;
  char32_t code = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 1;
    code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 2;
    code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 3;
    code = lead & 0x07;
  } else {
    return kReplacementCharacter;
  }
  if (pos + length > text.size()) return kReplacementCharacter;
  for (int i = 0; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[pos + i]);
    if ((next & 0xC0) != 0x80) return kReplacementCharacter;
    code = (code << 6) | (next & 0x3F);
  }
  static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return kReplacementCharacter;
  }
  pos += length;
  return code;
}

// The text of one line after its tab: UTF-8 decoded, escapes resolved.
std::wstring DecodeText(std::string_view text) {
  std::wstring out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == '\\' && pos + 1 < text.size()) {
      const char escaped = text[pos + 1];
      const wchar_t replacement = escaped == 'r' ? L'\r' : escaped == 'n' ? L'\n' : escaped == 't' ? L'\t' : 0;
      if (replacement != 0 || escaped == '\\') {
        out.push_back(replacement != 0 ? replacement : L'\\');
        pos += 2;
        continue;
      }
    }
    out.push_back(static_cast<wchar_t>(DecodeUtf8(text, pos)));
  }
  return out;
}

// Parses "<id><TAB><text>"; lines that do not have that form are skipped.
void ParseLine(std::string_view line, std::map<UINT, std::wstring>& strings) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty() || line.front() == '#') return;
  const std::size_t tab = line.find('\t');
  if (tab == 0 || tab == std::string_view::npos || tab > 9) return;
  UINT id = 0;
  for (std::size_t i = 0; i < tab; ++i) {
    if (line[i] < '0' || line[i] > '9') return;
    id = id * 10 + static_cast<UINT>(line[i] - '0');
  }
  strings[id] = DecodeText(line.substr(tab + 1));
}

}  // namespace

std::map<UINT, std::wstring> ParseStringTable(std::string_view text) {
  std::map<UINT, std::wstring> strings;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    ParseLine(text.substr(start, end - start), strings);
    start = end + 1;
  }
  return strings;
}
