#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "server/fingerprint/fingerprint_params.h"
#include "server/index/index.h"
#include "server/match/query.h"
#include "server/monitor/sample_history.h"
#include "server/monitor/window_hit.h"

namespace melodex::server {

// Finds where a play of a track begins or ends to a fraction of a second. Which windows matched
// only brackets a boundary within a window's length; along the alignment a matching window
// found, the input agrees with the track's signature moment by moment while the track plays and
// only by chance before and after it, so the boundary is where that agreement steps down.
class BoundaryRefiner {
public:
    BoundaryRefiner(Index& index, const SampleHistory& history) : index_(index), history_(history) {}

    // Samples kept for a later look at them, and where they begin (input seconds).
    struct Excerpt {
        double begin = 0;
        std::vector<float> samples;
    };
    // The samples from `from` to `to` that the history still holds.
    Excerpt excerpt(double from, double to) const;

    // The start or the end, within `excerpt`, of the play a track's `hits` belong to: each hit an
    // alignment of the track that its matches give (their track and time, the speed at it), of
    // which the one the samples agree with best counts. False when the agreement is too weak to
    // tell (or too few samples are left).
    bool start(const std::vector<WindowHit>& hits, const Excerpt& excerpt, double& at, std::string& error);
    bool end(const std::vector<WindowHit>& hits, const Excerpt& excerpt, double& at, std::string& error);
    // Where, within `excerpt`, the play `after` belongs to takes over from the play `before`
    // belongs to, as in a crossfade: false when either agreement is too weak to tell.
    bool crossover(const std::vector<WindowHit>& before, const std::vector<WindowHit>& after, const Excerpt& excerpt,
                   double& at, std::string& error);
    // Whether the input from `from` to `to` still plays the track where the play's `last` match
    // says it has got to: a window the full search missed (talk over the music, a track played
    // off speed in noise) confirmed on the one alignment it should have. The confirmed window's
    // match goes in `hit`.
    bool follow(const WindowHit& last, double from, double to, WindowHit& hit, std::string& error);
    // Which of `hits` (alignments of one track) the input from `from` to `to` agrees with best;
    // false when too few samples are left.
    bool likeliest(const std::vector<WindowHit>& hits, double from, double to, size_t& which, std::string& error);
    // Whether the track's music over `seconds` from its second `from` comes again `lag` seconds
    // later (or earlier, a negative lag): a loop, a chorus sung again. A match on such a repeat
    // may stand for where a play has got to.
    bool repeats(uint32_t track, double from, double lag, double seconds, std::string& error);

private:
    struct Agreement {
        std::vector<double> times;  // input seconds of each signature frame
        std::vector<float> z;       // its agreement with the track: a z-score of one frame
        float level = 0;            // the agreement typical of the frames where the track plays
    };
    // The input's signature features set against the track's along a match's alignment.
    struct Aligned {
        std::unique_ptr<Query> query;
        const SignatureFeatures* phases[2] = {};  // the recording's features from its even and odd frames
        long predicted = 0;   // the track frame under the features' first frame, as the hit predicts
        long trackFrame = 0;  // the track frame under it, as aligned
        double agreement = 0;  // along the excerpt, as a z-score against independent bits
        const SignatureFeatures* features = nullptr;  // those of trackFrame's parity
        long firstWord = 0;  // the track's signature word under the features' first frame
        int phase = 0;
        double begin = 0;    // input seconds of the first sample
        double speed = 1.0;
        size_t hit = 0;  // which of the hits it was aligned on
    };
    // Reads the track's signature, unless it is the one read last.
    bool load(uint32_t track, std::string& error);
    // Sets the excerpt's features against the track on the frame within `reach` of a hit's
    // prediction where they agree best, of the hits (alignments of one track) given.
    bool align(const std::vector<WindowHit>& hits, const Excerpt& excerpt, long reach, Aligned& out, std::string& error);
    // Reads the features at the hit's speed, and the track frame it predicts under their first.
    void predict(const WindowHit& hit, Aligned& a) const;
    // Aligns the features' first frame on track frame `trackFrame`.
    static void onFrame(long trackFrame, Aligned& a);
    // Aligns `a` on the frame within `reach` of its prediction whose features agree best along
    // the excerpt, and returns that agreement as a z-score against independent bits.
    double alignBest(Aligned& a, long reach) const;
    // Frame `frame`'s agreement with the track's word under it.
    float agreementAt(const Aligned& a, int frame) const;
    double frameTime(const Aligned& a, int frame) const;
    bool agreementAlong(const std::vector<WindowHit>& hits, const Excerpt& excerpt, Agreement& out, std::string& error);
    // The frame where the track starts playing (`playsAfter`) or stops.
    static size_t stepAt(const Agreement& a, bool playsAfter);
    // Where the track starts playing (`playsAfter`) or stops, in input seconds.
    static double edgeIn(const Agreement& a, bool playsAfter);
    // A track's agreement through a fade in or out.
    struct Fade {
        const Agreement* agreement;
        bool fadesIn;
    };
    // The middle, between `from` and `to` (input seconds), of the linear fade that fits these
    // agreements best; the first one's frames bound the search. Given the `input`, the fades
    // are one crossfade, whose tracks' shares its loudness on either side sets.
    static double fadeMiddle(std::initializer_list<Fade> fades, double from, double to, const Excerpt* input = nullptr);

    Index& index_;
    const SampleHistory& history_;
    const FingerprintParams params_ = FingerprintParams::query();
    uint32_t loaded_ = 0;
    std::vector<uint32_t> reference_;
};

}  // namespace melodex::server
