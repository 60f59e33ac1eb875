#pragma once

// Speech babble for the evaluation: several synthetic voices (espeak-ng) reading different
// texts at once, as in a bar or a crowded room.

#include <cstdint>
#include <string>
#include <vector>

namespace melodex::bench {

// About two minutes of babble at 8 kHz for one part of the evaluation (0: tuning, 1: held-out;
// each its own voices and texts), made once and kept in `cacheDir`. False with a reason when
// espeak-ng is missing or fails.
bool loadBabble(const std::string& cacheDir, int part, std::vector<float>& babble, std::string& error);

// Adds a stretch of the babble, chosen by `seed`, at `snrDb` below the signal.
void addBabble(std::vector<float>& signal, const std::vector<float>& babble, double snrDb, uint32_t seed);

}  // namespace melodex::bench
