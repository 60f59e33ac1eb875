#include "bench/server/babble.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "bench/server/degrade.h"
#include "server/fingerprint/audio_decoder.h"

namespace melodex::bench {
namespace {

constexpr int kVoices = 6;
constexpr size_t kBabbleSamples = 120 * 8000;

// Each part's speakers: a voice (language and variant), a speaking rate and a pitch.
struct Speaker {
    const char* voice;
    int rate;
    int pitch;
};
const Speaker kSpeakers[2][kVoices] = {
    {{"en+m3", 165, 45}, {"de+f2", 150, 60}, {"fr+m1", 175, 40}, {"es+f4", 160, 70}, {"en-us+m7", 185, 35}, {"it+f1", 155, 55}},
    {{"en-gb-x-rp+f3", 170, 65}, {"nl+m2", 160, 40}, {"pt+f5", 150, 58}, {"sv+m4", 178, 48}, {"pl+m6", 168, 30}, {"da+f2", 158, 62}},
};

// Texts of no consequence, different for every speaker.
const char* const kTexts[2][kVoices] = {
    {"The train was late again this morning, so we walked along the river and talked about the weather, the "
     "garden and the new bakery near the station, which sells bread until the evening.",
     "Could you pass me the menu? I think I will have the soup of the day and a glass of water, and maybe a "
     "piece of cake afterwards if there is still some left on the counter.",
     "Last summer my brother fixed the roof of the old barn himself, with a ladder, two hammers and a box of "
     "nails, and it has not leaked once since, not even in the autumn storms.",
     "The meeting moved to Thursday because half of the team is travelling, and the report still needs three "
     "tables, a summary and the figures from the second quarter before anyone can read it.",
     "We could take the bus to the museum, look at the paintings for an hour, then have lunch in the square "
     "and come back along the market streets before the shops close for the day.",
     "Her grandmother kept bees behind the house, and every September the whole family helped to take the "
     "honey out of the frames, which took a weekend and left the kitchen sticky for a week."},
    {"The harbour lights were already on when the ferry came in, and the passengers waited on the deck with "
     "their bags, talking about the crossing, the wind and the long drive that still lay ahead.",
     "I borrowed a book about mountains from the library and read it in two evenings, and now I would like "
     "to walk up one of them, slowly, with good shoes and a thermos of hot tea.",
     "The new neighbours painted their door bright yellow, planted tomatoes along the fence and invited the "
     "whole street to a party with music, lemonade and far too many sandwiches.",
     "On Sundays the old man in the park feeds the pigeons, reads his newspaper from the first page to the "
     "last and tells anyone who sits down beside him how the town looked fifty years ago.",
     "The cinema shows an old film tonight, a comedy about two brothers who open a hotel by the sea, and "
     "tickets are cheaper before seven, so we should leave the house by half past six.",
     "My cousin is learning to play the cello; she practises every evening for an hour, and the neighbours "
     "say they have started to recognise the tunes through the wall of the flat."},
};

std::string shellQuoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// One speaker's voice, read over and over to the babble's length.
bool speak(const Speaker& speaker, const char* text, const std::string& dir, std::vector<float>& out, std::string& error) {
    const std::string wav = dir + "/" + speaker.voice + ".wav";
    const std::string cmd = "espeak-ng -v " + shellQuoted(speaker.voice) + " -s " + std::to_string(speaker.rate) + " -p " +
                            std::to_string(speaker.pitch) + " -w " + shellQuoted(wav) + " " + shellQuoted(text);
    std::vector<float> once;
    if (std::system(cmd.c_str()) != 0 || !server::decodeAudioFile(wav, once, error) || once.empty()) {
        error = "espeak-ng failed for voice " + std::string(speaker.voice) + " (apt-get install espeak-ng)";
        return false;
    }
    out.resize(kBabbleSamples);
    for (size_t i = 0; i < out.size(); ++i) out[i] = once[i % once.size()];
    return true;
}

}  // namespace

bool loadBabble(const std::string& cacheDir, int part, std::vector<float>& babble, std::string& error) {
    const std::string file = cacheDir + "/babble-" + std::to_string(part) + ".f32";
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (in && static_cast<size_t>(in.tellg()) == kBabbleSamples * sizeof(float)) {
        babble.resize(kBabbleSamples);
        in.seekg(0);
        in.read(reinterpret_cast<char*>(babble.data()), static_cast<std::streamsize>(kBabbleSamples * sizeof(float)));
        return true;
    }
    const std::string dir = cacheDir + "/babble-voices";
    std::filesystem::create_directories(dir);
    babble.assign(kBabbleSamples, 0.0f);
    for (int v = 0; v < kVoices; ++v) {
        std::vector<float> voice;
        if (!speak(kSpeakers[part][v], kTexts[part][v], dir, voice, error)) return false;
        // Equal loudness, each voice starting at another point of its text.
        double p = 0;
        for (float x : voice) p += static_cast<double>(x) * x;
        const float gain = static_cast<float>(1.0 / std::sqrt(std::max(1e-12, p / static_cast<double>(voice.size()))));
        const size_t shift = kBabbleSamples / kVoices * static_cast<size_t>(v);
        for (size_t i = 0; i < kBabbleSamples; ++i) babble[i] += gain * voice[(i + shift) % kBabbleSamples];
    }
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(babble.data()), static_cast<std::streamsize>(kBabbleSamples * sizeof(float)));
    return true;
}

void addBabble(std::vector<float>& signal, const std::vector<float>& babble, double snrDb, uint32_t seed) {
    if (babble.size() <= signal.size()) return;
    std::mt19937 rng(seed);
    const size_t start = std::uniform_int_distribution<size_t>(0, babble.size() - signal.size())(rng);
    mixUnder(signal, {babble.begin() + static_cast<long>(start), babble.begin() + static_cast<long>(start + signal.size())}, snrDb);
}

}  // namespace melodex::bench
