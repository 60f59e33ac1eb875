#include "tags/tag_store.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "app/log.h"
#include "app/strings.h"
#include "platform/system/files.h"
#include "platform/system/paths.h"
#include "platform/system/wide_text.h"

namespace {

constexpr char kCounterName[] = "nexttag.num";

// How much of a tag file loadTag reads. A tag parsed from the largest reply
// the service may send (100000 bytes) fits with room to spare, so every tag
// that saveTag writes can be read back.
constexpr std::size_t kMaxTagFileBytes = 256 * 1024;

constexpr wchar_t kReplacementCharacter = 0xFFFD;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string FolderPath(const std::string& name) { return DataFolder() + "/" + name; }
// Wide paths reach the file system as UTF-8, as the data folder already is.
std::wstring FolderPathW(const std::wstring& name) { return Utf8ToWide(DataFolder()) + L"/" + name; }

// A file written under a temporary name beside its final path and renamed
// over it by commit(), so that a crash or a failed write leaves the previous
// file (or none), never a torn one. Without a commit the temporary goes away.
class ReplacementFile {
 public:
  explicit ReplacementFile(std::string path)
      : path_(std::move(path)), temp_(path_ + ".tmp"), file_(std::fopen(temp_.c_str(), "wb")) {}
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile() {
    if (file_) {
      file_.reset();
      std::remove(temp_.c_str());
    }
  }

  bool isOpen() const { return file_ != nullptr; }

  // Returns the count of bytes written, as fwrite reports it.
  std::size_t write(const void* data, std::size_t size) {
    if (!file_ || size == 0) return 0;
    const std::size_t written = std::fwrite(data, 1, size, file_.get());
    if (written != size) failed_ = true;
    return written;
  }

  bool commit() {
    if (!file_) return false;
    bool ok = !failed_ && std::fflush(file_.get()) == 0;
    ok = std::fclose(file_.release()) == 0 && ok;
    if (ok && std::rename(temp_.c_str(), path_.c_str()) == 0) return true;
    std::remove(temp_.c_str());
    return false;
  }

 private:
  std::string path_;
  std::string temp_;
  File file_;
  bool failed_ = false;
};

// The leading decimal number of a file name, read as "%d" reads it (leading
// white space, an optional sign, digits). Empty when there is none or when it
// does not fit 32 bits.
std::optional<int32_t> LeadingNumber(const wchar_t* name) {
  const wchar_t* p = name;
  while (*p == L' ' || (*p >= L'\t' && *p <= L'\r')) ++p;
  bool negative = false;
  if (*p == L'+' || *p == L'-') negative = *p++ == L'-';
  if (*p < L'0' || *p > L'9') return std::nullopt;
  int64_t value = 0;
  for (; *p >= L'0' && *p <= L'9'; ++p) {
    value = value * 10 + (*p - L'0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(value);
}

struct TagFile {
  std::wstring name;
  std::optional<int32_t> number;
};

// Every *.dat entry in the data folder, in the file system's order.
std::vector<TagFile> ListTagFiles() {
  std::vector<TagFile> files;
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(FolderPathW(L"*.dat").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return files;
  do {
    files.push_back({found.cFileName, LeadingNumber(found.cFileName)});
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return files;
}

// The lowest-numbered tag file whose number is not in `keep`; names without
// a number and negative numbers never count.
std::optional<TagFile> LowestTagFile(const std::set<int32_t>& keep) {
  std::optional<TagFile> lowest;
  for (TagFile& file : ListTagFiles()) {
    if (!file.number || *file.number < 0 || keep.count(*file.number)) continue;
    if (!lowest || *file.number < *lowest->number) lowest = std::move(file);
  }
  return lowest;
}

// Deletes the tag file as it is named on disk and the art of its number.
// Returns whether the tag file went away.
bool DeleteTagFiles(const TagFile& file) {
  const BOOL deleted = DeleteFileW(FolderPathW(file.name).c_str());
  DeleteFileW(TagArtPathW(*file.number).c_str());
  return deleted != FALSE;
}

// Brings the store down to kMaxTags tags, oldest first, sparing the tag just
// saved. A tag file that cannot be deleted is passed over, so this always
// ends: each round deletes a file or spares one more number.
void PruneTags(int32_t savedNumber) {
  std::set<int32_t> keep{savedNumber};
  while (countTags() > kMaxTags) {
    const std::optional<TagFile> oldest = LowestTagFile(keep);
    if (!oldest) break;
    if (!DeleteTagFiles(*oldest)) keep.insert(*oldest->number);
  }
}

int32_t HighestTagNumber() {
  int32_t highest = -1;
  for (const TagFile& file : ListTagFiles())
    if (file.number) highest = std::max(highest, *file.number);
  return highest;
}

// The stored counter, or -1 when the file is missing, short or damaged.
int32_t ReadCounter() {
  const File file(std::fopen(FolderPath(kCounterName).c_str(), "rb"));
  unsigned char bytes[4];
  if (!file || std::fread(bytes, 1, sizeof bytes, file.get()) != sizeof bytes) return -1;
  const uint32_t value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                         uint32_t{bytes[3]} << 24;
  return value > uint32_t{std::numeric_limits<int32_t>::max()} ? -1 : static_cast<int32_t>(value);
}

void WriteCounter(int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  const unsigned char bytes[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                  static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  ReplacementFile file(FolderPath(kCounterName));
  file.write(bytes, sizeof bytes);
  file.commit();
}

// Wide text as UTF-16LE code units: characters past U+FFFF become surrogate
// pairs; values that are no character (lone surrogates) become U+FFFD.
void AppendUtf16(std::string& out, const wchar_t* text) {
  auto unit = [&out](uint32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (const wchar_t* p = text ? text : L""; *p; ++p) {
    uint32_t c = static_cast<uint32_t>(*p);
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacementCharacter;
    if (c < 0x10000) {
      unit(c);
    } else {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  unit(0);
}

void AppendBytes(std::string& out, const char* text) {
  if (text) out.append(text);
  out.push_back('\0');
}

std::string EncodeTag(const SongRecord& tag) {
  std::string bytes;
  AppendUtf16(bytes, tag.album);
  AppendUtf16(bytes, tag.artist);
  AppendUtf16(bytes, tag.trackTitle);
  AppendBytes(bytes, tag.wallpaper);
  AppendBytes(bytes, tag.ringer);
  AppendBytes(bytes, tag.smsMessage);
  AppendBytes(bytes, tag.recommend);
  AppendBytes(bytes, tag.fullSong);
  return bytes;
}

// Takes terminated fields from the bytes of a tag file, front to back. A
// field that does not end within the bytes fails; nothing past them is read.
class FieldReader {
 public:
  FieldReader(const unsigned char* data, std::size_t size) : data_(data), left_(size) {}

  bool takeUtf16(std::wstring& out) {
    std::vector<uint32_t> units;
    for (;;) {
      if (left_ < 2) return false;
      const uint32_t u = uint32_t{data_[0]} | uint32_t{data_[1]} << 8;
      data_ += 2;
      left_ -= 2;
      if (u == 0) break;
      units.push_back(u);
    }
    out.clear();
    for (std::size_t i = 0; i < units.size(); ++i) {
      const uint32_t u = units[i];
      const bool high = u >= 0xD800 && u <= 0xDBFF;
      if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
        out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (units[++i] - 0xDC00)));
      } else if (u >= 0xD800 && u <= 0xDFFF) {
        out.push_back(kReplacementCharacter);
      } else {
        out.push_back(static_cast<wchar_t>(u));
      }
    }
    return true;
  }

  bool takeBytes(std::string& out) {
    const void* end = std::memchr(data_, 0, left_);
    if (!end) return false;
    const auto length = static_cast<std::size_t>(static_cast<const unsigned char*>(end) - data_);
    out.assign(reinterpret_cast<const char*>(data_), length);
    data_ += length + 1;
    left_ -= length + 1;
    return true;
  }

 private:
  const unsigned char* data_;
  std::size_t left_;
};

wchar_t* NewWideString(const std::wstring& text) { return DupWideString(text.c_str()); }
char* NewString(const std::string& text) { return DupString(text.c_str()); }

// Writes N.jpg, logging how much was asked and how much was written.
bool SaveArt(const SongRecord& tag) {
  ReplacementFile art(TagArtPath(tag.tagNumber));
  if (!art.isOpen()) return false;
  char line[96];
  std::snprintf(line, sizeof line, "writing album art data file (%d byes)\r\n", tag.albumArtSize);
  LogMessage(line);
  const std::size_t written = art.write(tag.albumArt, static_cast<std::size_t>(tag.albumArtSize));
  const bool saved = art.commit();
  std::snprintf(line, sizeof line, "%d bytes actually written to file\r\n", static_cast<int>(written));
  LogMessage(line);
  return saved;
}

}  // namespace

std::string TagDataPath(int32_t tagNumber) { return FolderPath(std::to_string(tagNumber) + ".dat"); }
std::string TagArtPath(int32_t tagNumber) { return FolderPath(std::to_string(tagNumber) + ".jpg"); }
std::wstring TagDataPathW(int32_t tagNumber) { return FolderPathW(std::to_wstring(tagNumber) + L".dat"); }
std::wstring TagArtPathW(int32_t tagNumber) { return FolderPathW(std::to_wstring(tagNumber) + L".jpg"); }

int32_t nextTagNumber() {
  // The counter alone could hand out a number that a tag on disk already
  // has (counter file lost, damaged or not writable), and the new tag would
  // replace that one; one past the highest tag on disk never does.
  int64_t value = std::max<int64_t>(ReadCounter(), int64_t{HighestTagNumber()} + 1);
  // Only a hand-made name or counter can use up the 32-bit numbers.
  if (value >= std::numeric_limits<int32_t>::max()) value = 0;
  const auto number = static_cast<int32_t>(value);
  WriteCounter(number + 1);
  return number;
}

void saveTag(const SongRecord& tag) {
  // The art goes first, so that a tag is complete once its N.dat is in place.
  const bool hasArt = tag.albumArt && tag.albumArtSize > 0;
  const bool wroteArt = hasArt && SaveArt(tag);
  // Without art of its own, art left over from an earlier tag of this number
  // would show as this one's.
  if (!hasArt) DeleteFileW(TagArtPathW(tag.tagNumber).c_str());

  const std::string bytes = EncodeTag(tag);
  ReplacementFile data(TagDataPath(tag.tagNumber));
  data.write(bytes.data(), bytes.size());
  if (!data.commit() && wroteArt) DeleteFileW(TagArtPathW(tag.tagNumber).c_str());

  PruneTags(tag.tagNumber);
}

bool loadTag(SongRecord& tag, const wchar_t* fileName) {
  if (!fileName) return false;
  const std::string path = FolderPath(WideToUtf8(fileName));
  std::vector<unsigned char> buffer;
  {
    const File file(std::fopen(path.c_str(), "rb"));
    if (!file) return false;
    // In steps, so that the usual small tag needs only a small buffer.
    unsigned char chunk[4096];
    while (buffer.size() < kMaxTagFileBytes) {
      const std::size_t wanted = std::min(sizeof chunk, kMaxTagFileBytes - buffer.size());
      const std::size_t got = std::fread(chunk, 1, wanted, file.get());
      buffer.insert(buffer.end(), chunk, chunk + got);
      if (got < wanted) break;
    }
  }

  std::wstring wide[3];
  std::string narrow[5];
  FieldReader reader(buffer.data(), buffer.size());
  for (std::wstring& field : wide)
    if (!reader.takeUtf16(field)) return false;
  for (std::string& field : narrow)
    if (!reader.takeBytes(field)) return false;

  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  const bool haveTime =
      GetFileAttributesExW(FolderPathW(fileName).c_str(), GetFileExInfoStandard, &attributes) != FALSE;

  tag.release();
  tag.tagNumber = LeadingNumber(fileName).value_or(-1);
  tag.created = haveTime ? attributes.ftCreationTime : FILETIME{0, 0};
  tag.album = NewWideString(wide[0]);
  tag.artist = NewWideString(wide[1]);
  tag.trackTitle = NewWideString(wide[2]);
  tag.wallpaper = NewString(narrow[0]);
  tag.ringer = NewString(narrow[1]);
  tag.smsMessage = NewString(narrow[2]);
  tag.recommend = NewString(narrow[3]);
  tag.fullSong = NewString(narrow[4]);
  return true;
}

void deleteTag(const SongRecord& tag) {
  DeleteFileW(TagDataPathW(tag.tagNumber).c_str());
  DeleteFileW(TagArtPathW(tag.tagNumber).c_str());
}

std::vector<std::wstring> ListTagFilesNewestFirst() {
  std::vector<TagFile> files = ListTagFiles();
  files.erase(std::remove_if(files.begin(), files.end(),
                             [](const TagFile& file) { return !file.number || *file.number < 0; }),
              files.end());
  std::stable_sort(files.begin(), files.end(),
                   [](const TagFile& a, const TagFile& b) { return *a.number > *b.number; });
  std::vector<std::wstring> names;
  for (TagFile& file : files) names.push_back(std::move(file.name));
  return names;
}

int countTags() { return static_cast<int>(ListTagFiles().size()); }

void deleteOldestTag() {
  if (const std::optional<TagFile> oldest = LowestTagFile({})) DeleteTagFiles(*oldest);
}
