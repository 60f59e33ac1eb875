// PlaySoundW records every request and stays silent without a device.
#include <gtest/gtest.h>

#include "platform/audio/sound.h"
#include "platform/window/platform.h"

namespace {

TEST(Sound, RecordsRequestsOnTheHeadlessBackend) {
  std::string error;
  ASSERT_TRUE(InitPlatform(PlatformOptions{}, &error)) << error;
  ClearPlayedSounds();
  EXPECT_EQ(SND_RESOURCE | SND_ASYNC, 0x40005u);
  EXPECT_TRUE(PlaySoundW(L"#159", nullptr, SND_RESOURCE | SND_ASYNC));
  EXPECT_TRUE(PlaySoundW(L"#160", nullptr, SND_RESOURCE | SND_ASYNC));
  EXPECT_FALSE(PlaySoundW(nullptr, nullptr, SND_RESOURCE | SND_ASYNC));
  EXPECT_EQ(PlayedSounds(), (std::vector<std::wstring>{L"#159", L"#160"}));
  ClearPlayedSounds();
  EXPECT_TRUE(PlayedSounds().empty());
  ShutdownPlatform();
}

}  // namespace
