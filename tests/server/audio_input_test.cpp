// Audio as it reaches the service: request bodies (the phone's and ordinary WAV files, whole,
// damaged or foreign) and catalogue files decoded through FFmpeg. (Stereo files at other rates,
// and files at absurd rates, are checked end to end in service_test.cpp and cli_test.cpp.)
#include <gtest/gtest.h>

#include <cstring>

#include "server/fingerprint/audio_decoder.h"
#include "server/fingerprint/wav_body.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

WavParse parse(const std::vector<uint8_t>& b) { return parseWavBody(b.data(), b.size()); }

// `b` with the `bytes` low bytes of `value` written at `at`, least significant first.
std::vector<uint8_t> changed(std::vector<uint8_t> b, size_t at, uint32_t value, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return b;
}

// A one-second mono WAV at 8 kHz of `bytes`-wide float samples, all `value`, with a padded LIST
// chunk of odd size before the data.
std::vector<uint8_t> floatWav(int bytes, double value) {
    const std::string head("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\3\0\1\0\x40\x1F\0\0\0\0\0\0\0\0\0\0"
                           "LIST\3\0\0\0abc\0data", 52);
    std::vector<uint8_t> f(head.begin(), head.end());
    f = changed(changed(changed(f, 28, 8000 * bytes), 32, bytes, 2), 34, 8 * bytes, 2);
    f.resize(56 + 8000 * bytes);
    const float single = static_cast<float>(value);
    for (size_t i = 56; i < f.size(); i += bytes)
        std::memcpy(&f[i], bytes == 4 ? static_cast<const void*>(&single) : &value, bytes);
    return changed(changed(f, 52, 8000 * bytes), 4, static_cast<uint32_t>(f.size() - 8));
}

TEST(WavBody, ReadsTheClientsBodyAndOrdinaryFiles) {
    const std::vector<float> x = test::melody(1, 11.0);
    const std::vector<uint8_t> body = test::clientBody(x);
    EXPECT_EQ(buildClientBody(x), body) << "the body tools replay differs from the client's";
    const WavParse client = parse(body);
    ASSERT_EQ(client.status, WavStatus::Ok) << client.message;
    EXPECT_EQ(std::make_tuple(client.audio.sampleRate, client.audio.channels), std::make_tuple(8000, 1));
    ASSERT_EQ(client.audio.samples.size(), 88000u);
    const std::vector<int16_t> pcm = test::toPcm16(x);
    for (size_t i = 0; i < pcm.size(); i += 997) EXPECT_FLOAT_EQ(client.audio.samples[i], pcm[i] / 32768.0f) << i;
    // 32- and 64-bit floats, an out-of-range value clamped.
    for (const auto& [bytes, value, read] : {std::make_tuple(4, 0.5, 0.5f), {8, -0.25, -0.25f}, {8, 3.0, 1.0f}}) {
        const WavParse f = parse(floatWav(bytes, value));
        ASSERT_EQ(f.status, WavStatus::Ok) << f.message;
        ASSERT_EQ(f.audio.samples.size(), 8000u);
        EXPECT_FLOAT_EQ(f.audio.samples[100], read) << bytes << " bytes, " << value;
    }
}

TEST(WavBody, DamagedAndForeignBodiesAreRefusedWithAReason) {
    const std::vector<uint8_t> client = test::clientBody(test::melody(3, 11.0));
    const std::vector<uint8_t> ordinary = test::wavFile(test::tone(440.0, 3.0), 8000);
    const std::vector<float> second(16000, 0.1f);
    const struct {
        const char* what;
        std::vector<uint8_t> body;
        WavStatus status;
    } cases[] = {
        {"empty", {}, WavStatus::Empty},
        {"text", {'h', 'e', 'l', 'l', 'o'}, WavStatus::NotWav},
        {"an MP3", std::vector<uint8_t>(5000, 0xFF), WavStatus::NotWav},
        {"ADPCM", changed(client, 20, 2, 2), WavStatus::Unsupported},
        {"no channels", changed(client, 22, 0, 2), WavStatus::Unsupported},
        {"a block alignment of 0", changed(client, 32, 0, 2), WavStatus::Unsupported},
        {"a padding chunk claiming 2 GiB", changed(client, 40, 0x7FFFFFFF), WavStatus::Truncated},
        {"a data size beyond the end", changed(ordinary, 40, 1000000), WavStatus::Truncated},
        {"data before its format", changed(client, 12, 0x61746164), WavStatus::NotWav},
        {"1 Hz", test::wavFile(second, 1), WavStatus::Unsupported},
        {"3999 Hz", test::wavFile(second, 3999), WavStatus::Unsupported},
        {"768001 Hz", test::wavFile(second, 768001), WavStatus::Unsupported},
        {"16-bit floats", floatWav(2, 0.5), WavStatus::Unsupported},
        {"half a second", test::wavFile(test::tone(440.0, 0.5), 8000), WavStatus::TooShort},
    };
    for (const auto& c : cases) {
        const WavParse wav = parse(c.body);
        EXPECT_EQ(wav.status, c.status) << c.what << ": " << wav.message;
        EXPECT_FALSE(wav.message.empty()) << c.what;
    }
    // Cut anywhere: in the header, in the padding, in the samples.
    for (long cut : {12, 30, 2000, 4090, 100000, 180095})
        EXPECT_EQ(parse({client.begin(), client.begin() + cut}).status, WavStatus::Truncated) << cut;
}

TEST(AudioDecoder, RefusesAbsurdRatesAndFilesLongerThanTheLimit) {
    test::TempDir dir;
    const std::string file = dir / "ten.wav", odd = dir / "odd.wav";
    test::writeFile(file, test::wavFile(test::tone(440.0, 10.0, 16000), 16000));
    test::writeFile(odd, test::wavFile(std::vector<float>(16000, 0.1f), 800000));
    std::vector<float> samples;
    std::string error;
    ASSERT_TRUE(decodeAudioFile(file, samples, error)) << error;
    EXPECT_NEAR(static_cast<double>(samples.size()), 80000.0, 200.0);
    EXPECT_FALSE(decodeAudioFile(file, samples, error, 5.0));
    EXPECT_NE(error.find("longer than 5 seconds"), std::string::npos) << error;
    EXPECT_FALSE(decodeAudioFile(odd, samples, error));
    EXPECT_NE(error.find("unsupported sample rate 800000 Hz"), std::string::npos) << error;
}

}  // namespace
}  // namespace melodex::server
