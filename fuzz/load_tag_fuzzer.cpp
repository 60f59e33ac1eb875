// Arbitrary bytes as a tag file. Loading must never read past them, and a
// tag that loads must save and load back unchanged; without lone surrogates
// (which read as U+FFFD) the saved file is exactly the bytes that were read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tags/tag_store.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::string bytes;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, n);
    std::fclose(file);
  }
  return bytes;
}

bool HasReplacementCharacter(const wchar_t* text) { return std::wcschr(text, 0xFFFD) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UsePrivateDataFolder();
  if (FILE* file = std::fopen(TagDataPath(5).c_str(), "wb")) {
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
  SongRecord tag;
  if (!loadTag(tag, L"5.dat")) return 0;
  Require(tag.tagNumber == 5 && !tag.albumArtUrl && !tag.albumArt && tag.albumArtSize == 0);

  tag.tagNumber = 6;
  saveTag(tag);
  SongRecord again;
  Require(loadTag(again, L"6.dat") && SameStoredFields(tag, again));

  if (!HasReplacementCharacter(tag.album) && !HasReplacementCharacter(tag.artist) &&
      !HasReplacementCharacter(tag.trackTitle)) {
    const std::string saved = ReadAll(TagDataPath(6));
    Require(saved.size() <= size && std::memcmp(saved.data(), data, saved.size()) == 0);
  }
  return 0;
}
