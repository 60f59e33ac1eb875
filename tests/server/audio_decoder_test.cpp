#include <gtest/gtest.h>

#include "server/fingerprint/audio_decoder.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

TEST(AudioDecoder, RefusesAbsurdRatesAndFilesLongerThanTheLimit) {
    test::TempDir dir;
    const std::string file = dir / "ten.wav";
    test::writeFile(file, test::wavFile(test::tone(440.0, 10.0, 16000), 16000));
    std::vector<float> samples;
    std::string error;
    ASSERT_TRUE(decodeAudioFile(file, samples, error)) << error;
    EXPECT_NEAR(static_cast<double>(samples.size()), 80000.0, 200.0);
    EXPECT_FALSE(decodeAudioFile(file, samples, error, 5.0));
    EXPECT_NE(error.find("longer than 5 seconds"), std::string::npos) << error;

    for (const int rate : {1, 800000}) {
        const std::string odd = dir / ("rate" + std::to_string(rate) + ".wav");
        test::writeFile(odd, test::wavFile(std::vector<float>(16000, 0.1f), rate));
        EXPECT_FALSE(decodeAudioFile(odd, samples, error));
        EXPECT_NE(error.find("unsupported sample rate " + std::to_string(rate) + " Hz"), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace melodex::server
