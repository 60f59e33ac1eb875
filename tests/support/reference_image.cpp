#include "tests/support/reference_image.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/gdi/gdi.h"
#include "platform/system/images.h"
#include "platform/system/screenshot.h"

namespace fs = std::filesystem;

namespace {

Surface LoadPng(const fs::path& path) {
  const std::string narrow = path.string();
  const std::wstring wide(narrow.begin(), narrow.end());  // test paths are ASCII
  HBITMAP bitmap = SHLoadImageFile(wide.c_str());
  if (!bitmap) return {};
  Surface copy = *GetBitmapSurface(bitmap);
  DeleteObject(bitmap);
  for (auto& p : copy.pixels) p &= 0x00FFFFFFu;
  return copy;
}

}  // namespace

::testing::AssertionResult MatchesReference(const Surface& shown, const std::string& name) {
  const fs::path reference = fs::path(MELODEX_TESTS_DIR) / name;
  const char* update = std::getenv("MELODEX_UPDATE_REFERENCES");
  if (update && std::string(update) == "1") {
    fs::create_directories(reference.parent_path());
    if (!SaveSurfacePng(shown, reference.string()))
      return ::testing::AssertionFailure() << "cannot write " << reference;
    return ::testing::AssertionSuccess();
  }

  const Surface want = LoadPng(reference);
  const fs::path actual = fs::path(name).filename().replace_extension(".actual.png");
  if (want.width != shown.width || want.height != shown.height) {
    SaveSurfacePng(shown, actual.string());
    return ::testing::AssertionFailure() << name << ": reference is " << want.width << " x " << want.height
                                         << ", window is " << shown.width << " x " << shown.height << " (saved "
                                         << actual << ")";
  }
  int differing = 0, left = shown.width, top = shown.height, right = -1, bottom = -1;
  for (int y = 0; y < shown.height; ++y)
    for (int x = 0; x < shown.width; ++x) {
      if ((shown.at(x, y) & 0x00FFFFFFu) == want.at(x, y)) continue;
      ++differing;
      left = std::min(left, x), top = std::min(top, y), right = std::max(right, x), bottom = std::max(bottom, y);
    }
  if (differing == 0) return ::testing::AssertionSuccess();
  SaveSurfacePng(shown, actual.string());
  return ::testing::AssertionFailure() << name << ": " << differing << " pixels differ within (" << left << ", " << top
                                       << ")-(" << right << ", " << bottom << "); the window is saved as " << actual;
}

::testing::AssertionResult ChangesOnlyWithin(const Surface& before, const Surface& after, const RECT& area) {
  if (before.width != after.width || before.height != after.height)
    return ::testing::AssertionFailure() << "the window changed its size";
  int inside = 0, outside = 0;
  for (int y = 0; y < after.height; ++y)
    for (int x = 0; x < after.width; ++x) {
      if (before.at(x, y) == after.at(x, y)) continue;
      const bool in = x >= area.left && x <= area.right && y >= area.top && y <= area.bottom;
      ++(in ? inside : outside);
    }
  if (inside > 0 && outside == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << inside << " pixels changed inside (" << area.left << ", " << area.top << ")-("
                                       << area.right << ", " << area.bottom << "), " << outside << " outside";
}
