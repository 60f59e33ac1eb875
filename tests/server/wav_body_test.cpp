#include <gtest/gtest.h>

#include <cstring>

#include "server/fingerprint/wav_body.h"
#include "tests/server/synth.h"

namespace melodex::server {
namespace {

WavParse parse(const std::vector<uint8_t>& b) { return parseWavBody(b.data(), b.size()); }

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(WavBody, ClientBodyIsReadAsElevenSecondsOfSixteenBitSamples) {
    const std::vector<float> x = test::melody(1, 11.0);
    const std::vector<uint8_t> body = test::clientBody(x);
    ASSERT_EQ(body.size(), kClientBodySize);
    const WavParse wav = parse(body);
    ASSERT_EQ(wav.status, WavStatus::Ok) << wav.message;
    EXPECT_EQ(wav.audio.sampleRate, 8000);
    EXPECT_EQ(wav.audio.channels, 1);
    ASSERT_EQ(wav.audio.samples.size(), 88000u);
    const std::vector<int16_t> pcm = test::toPcm16(x);
    for (size_t i = 0; i < pcm.size(); i += 997) EXPECT_FLOAT_EQ(wav.audio.samples[i], pcm[i] / 32768.0f);
}

TEST(WavBody, BuiltClientBodyMatchesTheClientsBytes) {
    const std::vector<float> x = test::melody(2, 11.0);
    const std::vector<uint8_t> built = buildClientBody(x);
    const std::vector<uint8_t> handmade = test::clientBody(x);
    ASSERT_EQ(built.size(), handmade.size());
    EXPECT_EQ(std::memcmp(built.data(), handmade.data(), kClientHeaderSize), 0);
    EXPECT_EQ(built[4], 0x00);
    EXPECT_EQ(built[5], 0x02);
    EXPECT_EQ(built[6], 0xBF);
    EXPECT_EQ(built[7], 0x78);
    EXPECT_EQ(built[34], 1);
    EXPECT_EQ(built[35], 0);
    EXPECT_EQ(std::memcmp(&built[4088], "data\0\0\0\0", 8), 0);
    EXPECT_EQ(built, handmade);
}

TEST(WavBody, OrdinaryFilesInOtherFormatsAreRead) {
    const std::vector<float> stereo = test::tone(440.0, 4.0, 44100);
    std::vector<float> interleaved;
    for (float s : stereo) interleaved.insert(interleaved.end(), {s, -s});
    const WavParse wav = parse(test::wavFile(interleaved, 44100, 2));
    ASSERT_EQ(wav.status, WavStatus::Ok) << wav.message;
    EXPECT_EQ(wav.audio.sampleRate, 44100);
    EXPECT_EQ(wav.audio.channels, 2);
    EXPECT_EQ(wav.audio.frames(), stereo.size());

    // Float samples with a LIST chunk of odd size (padded) before the data.
    std::vector<uint8_t> f = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
                              3, 0, 1, 0, 0x40, 0x1F, 0, 0, 0, 0x7D, 0, 0, 4, 0, 32, 0,
                              'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    const size_t header = f.size();
    f.resize(header + 8000 * 4);
    const float half = 0.5f;
    for (size_t i = header; i < f.size(); i += 4) std::memcpy(&f[i], &half, 4);
    put32(f, header - 4, 8000 * 4);
    put32(f, 4, static_cast<uint32_t>(f.size() - 8));
    const WavParse fw = parse(f);
    ASSERT_EQ(fw.status, WavStatus::Ok) << fw.message;
    EXPECT_EQ(fw.audio.samples.size(), 8000u);
    EXPECT_FLOAT_EQ(fw.audio.samples[100], 0.5f);

    // The same as 64-bit floats, with an out-of-range value clamped.
    std::vector<uint8_t> d(f.begin(), f.begin() + static_cast<long>(header));
    d[32] = 8;
    d[34] = 64;
    put32(d, 28, 8000 * 8);
    d.resize(header + 8000 * 8);
    for (size_t i = header; i < d.size(); i += 8) {
        const double value = i == header ? 3.0 : -0.25;
        std::memcpy(&d[i], &value, 8);
    }
    put32(d, header - 4, 8000 * 8);
    put32(d, 4, static_cast<uint32_t>(d.size() - 8));
    const WavParse dw = parse(d);
    ASSERT_EQ(dw.status, WavStatus::Ok) << dw.message;
    ASSERT_EQ(dw.audio.samples.size(), 8000u);
    EXPECT_FLOAT_EQ(dw.audio.samples[0], 1.0f);
    EXPECT_FLOAT_EQ(dw.audio.samples[100], -0.25f);
}

TEST(WavBody, DamagedAndForeignBodiesAreRefusedWithAReason) {
    EXPECT_EQ(parseWavBody(nullptr, 0).status, WavStatus::Empty);
    EXPECT_EQ(parse({'h', 'e', 'l', 'l', 'o'}).status, WavStatus::NotWav);
    std::vector<uint8_t> mp3(5000, 0xFF);
    EXPECT_EQ(parse(mp3).status, WavStatus::NotWav);

    const std::vector<uint8_t> client = test::clientBody(test::melody(3, 11.0));
    // Cut anywhere: in the header, in the padding, in the samples.
    for (size_t cut : {12u, 30u, 2000u, 4090u, 100000u, 180095u}) {
        const std::vector<uint8_t> part(client.begin(), client.begin() + cut);
        const WavParse wav = parse(part);
        EXPECT_EQ(wav.status, WavStatus::Truncated) << "cut at " << cut << ": " << wav.message;
        EXPECT_FALSE(wav.message.empty());
    }

    std::vector<uint8_t> adpcm = client;
    adpcm[20] = 2;
    EXPECT_EQ(parse(adpcm).status, WavStatus::Unsupported);
    std::vector<uint8_t> noChannels = client;
    noChannels[22] = 0;
    EXPECT_EQ(parse(noChannels).status, WavStatus::Unsupported);
    std::vector<uint8_t> hugeChunk = client;
    put32(hugeChunk, 40, 0x7FFFFFFF);  // the padding chunk claims 2 GiB
    EXPECT_EQ(parse(hugeChunk).status, WavStatus::Truncated);

    std::vector<uint8_t> ordinary = test::wavFile(test::tone(440.0, 3.0), 8000);
    put32(ordinary, 40, 1000000);  // data size beyond the end
    put32(ordinary, 4, 1000036);
    EXPECT_EQ(parse(ordinary).status, WavStatus::Truncated);

    for (int rate : {1, 3999, 768001}) {
        const WavParse odd = parse(test::wavFile(std::vector<float>(16000, 0.1f), rate));
        EXPECT_EQ(odd.status, WavStatus::Unsupported) << rate;
    }

    const WavParse shortOne = parse(test::wavFile(test::tone(440.0, 0.5), 8000));
    EXPECT_EQ(shortOne.status, WavStatus::TooShort);
}

}  // namespace
}  // namespace melodex::server
