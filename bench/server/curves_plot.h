#pragma once

// The evaluation's recall-against-SNR curves drawn as a PNG by gnuplot.

#include <functional>
#include <string>
#include <vector>

namespace melodex::bench {

// Recall in % of noise kind `kind` in part `part` (0 tuning, 1 held-out) at `snr` dB, of this
// build or of the previous one; negative when not measured.
using RecallAt = std::function<double(size_t kind, size_t part, bool previous, double snr)>;

// One panel per noise kind, a line per part and build. False with a reason when gnuplot fails.
bool plotCurves(const std::string& png, const std::vector<double>& snrs, const std::vector<std::string>& kinds,
                const RecallAt& recall, std::string& error);

}  // namespace melodex::bench
