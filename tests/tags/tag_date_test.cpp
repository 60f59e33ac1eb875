// The month/day a history row shows, in local time.
#include "tags/tag_date.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// 100-nanosecond units since 1601-01-01 UTC of a Unix time.
FILETIME FileTimeOf(std::int64_t unixSeconds) {
  const auto ticks = static_cast<std::uint64_t>((unixSeconds + 11644473600LL) * 10000000LL);
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

class TagDate : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz, hadTz_ = true;
  }
  void TearDown() override {
    if (hadTz_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static void zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

 private:
  std::string saved_;
  bool hadTz_ = false;
};

constexpr std::int64_t kJuly4Noon2026 = 1783166400;  // 2026-07-04 12:00:00 UTC

TEST_F(TagDate, MonthAndDayWithoutLeadingZeros) {
  zone("UTC0");
  EXPECT_EQ(TagDateText(FileTimeOf(kJuly4Noon2026)), L"7/4");
  EXPECT_EQ(TagDateText(FileTimeOf(kJuly4Noon2026 + 180 * 86400)), L"12/31");
}

TEST_F(TagDate, TheDayIsTheLocalOne) {
  const std::int64_t lateEvening = kJuly4Noon2026 + 11 * 3600 + 30 * 60;  // 23:30 UTC
  zone("UTC0");
  EXPECT_EQ(TagDateText(FileTimeOf(lateEvening)), L"7/4");
  zone("EET-2");  // two hours east: already the fifth
  EXPECT_EQ(TagDateText(FileTimeOf(lateEvening)), L"7/5");
  zone("PST8");  // eight hours west of noon: still the fourth, early morning
  EXPECT_EQ(TagDateText(FileTimeOf(kJuly4Noon2026)), L"7/4");
}

TEST_F(TagDate, ATimeOutsideTheCalendarGivesNoDate) {
  zone("UTC0");
  EXPECT_EQ(TagDateText(FILETIME{0xFFFFFFFFu, 0xFFFFFFFFu}), L"");
}

}  // namespace
