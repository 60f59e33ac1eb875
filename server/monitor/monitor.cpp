#include "server/monitor/monitor.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

#include "server/fingerprint/pcm_audio.h"
#include "server/match/identifier.h"
#include "server/monitor/boundary_refiner.h"
#include "server/monitor/clock_time.h"
#include "server/monitor/sample_history.h"
#include "server/monitor/window_queue.h"

namespace melodex::server {
namespace {

// Windows in flight on each core: enough to keep the cores busy while the input is read.
constexpr size_t kWindowsPerCore = 4;

int64_t toSamples(double seconds) { return static_cast<int64_t>(std::llround(seconds * kFingerprintRate)); }
double toSeconds(int64_t samples) { return static_cast<double>(samples) / kFingerprintRate; }
int coresOr(int threads) { return threads > 0 ? threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

// Cuts the input into windows, has them identified while it reads on, and hands their answers
// to the segmenter in order.
class WindowRun {
public:
    WindowRun(Index& index, const MonitorOptions& options, const MonitorEvents& events, bool live)
        : events_(events), identifier_(index, MatchParams{}, FingerprintParams::monitorWindow()),
          refiner_(index, history_),
          segmenter_(options.segments, options.refine ? &refiner_ : nullptr, events.segment, options.fromSeconds),
          length_(toSamples(options.segments.windowSeconds)), step_(toSamples(options.segments.stepSeconds)),
          from_(toSamples(options.fromSeconds)),
          to_(options.toSeconds > 0 ? toSamples(options.toSeconds) : std::numeric_limits<int64_t>::max()),
          // A live input is identified window by window as it plays, on the threads it needs.
          threads_(live ? std::min(2, coresOr(options.threads)) : coresOr(options.threads)),
          inFlight_(live ? 2 : kWindowsPerCore * static_cast<size_t>(threads_)),
          // Enough behind the newest answer to refine the end of a play the bridge kept open.
          keep_(toSamples(options.segments.bridgeSeconds + 3 * options.segments.windowSeconds + options.segments.stepSeconds)),
          queue_(identifier_, threads_) {
        history_.restartAt(from_);
        next_ = from_;
    }

    // Takes the input's next samples, sending off each window they complete.
    bool add(const std::vector<float>& piece, std::string& error) {
        const int64_t begin = read_;
        read_ += static_cast<int64_t>(piece.size());
        const int64_t lo = std::max(begin, from_) - begin, hi = std::min(read_, to_) - begin;
        if (hi > lo) history_.append(piece.data() + lo, static_cast<size_t>(hi - lo));
        while (next_ + length_ <= history_.end()) {
            submit(next_);
            next_ += step_;
            if (queue_.size() >= inFlight_ && !takeAnswers(true, error)) return false;
        }
        return takeAnswers(false, error);
    }

    // A live input was away: the time line goes on after the gap, with no window across it.
    bool skip(double seconds, std::string& error) {
        if (!takeAllAnswers(error) || !segmenter_.beforeGap(error)) return false;
        read_ += toSamples(seconds);
        history_.restartAt(std::max(read_, from_));
        next_ = std::max(next_, history_.end());
        return true;
    }

    bool reachedEnd() const { return read_ >= to_; }
    int64_t position() const { return history_.end(); }

    // The input ended: a last window reaches its end, then every open play is reported.
    bool finish(std::string& error) {
        const int64_t last = next_ - step_;
        const int64_t tail = std::max(history_.begin(), history_.end() - length_);
        if (tail > last && history_.end() > history_.begin()) submit(tail);
        return takeAllAnswers(error) && segmenter_.finish(toSeconds(history_.end()), error);
    }

    void progress(double duration) const {
        if (events_.progress) events_.progress(toSeconds(history_.end()), duration);
    }

private:
    void submit(int64_t start) {
        int64_t first = 0;
        queue_.submit(toSeconds(start), history_.slice(start, start + length_, first));
    }

    // The answers ready (or, with `wait`, at least the oldest), in order, into the segmenter.
    bool takeAnswers(bool wait, std::string& error) {
        WindowHit hit;
        for (bool first = true; queue_.next(wait && first, hit, error); first = false) {
            if (!error.empty() || !segmenter_.add(hit, error)) return false;
            history_.dropBefore(toSamples(hit.seconds) - keep_);
        }
        return true;
    }
    bool takeAllAnswers(std::string& error) {
        while (queue_.size() > 0)
            if (!takeAnswers(true, error)) return false;
        return true;
    }

    const MonitorEvents& events_;
    SampleHistory history_;
    Identifier identifier_;
    BoundaryRefiner refiner_;
    Segmenter segmenter_;
    const int64_t length_, step_, from_, to_;
    const int threads_;
    const size_t inFlight_;
    const int64_t keep_;
    WindowQueue queue_;  // last: its threads stop before what they use goes
    int64_t read_ = 0;  // samples of the input read or skipped so far
    int64_t next_ = 0;  // where the next window starts
};

}  // namespace

bool monitorInput(Index& index, const std::string& input, const MonitorOptions& options, const MonitorEvents& events,
                  std::string& error) {
    MonitorInput in(input, options.input, events.log);
    if (!in.open(error)) return false;
    WindowRun run(index, options, events, in.live());
    const double duration = in.durationSeconds();
    std::vector<float> piece;
    size_t sinceProgress = 0;
    while (!run.reachedEnd()) {
        piece.clear();
        double gap = 0;
        const ReadResult result = in.read(piece, gap, error);
        if (result == ReadResult::Failed) return false;
        if (result == ReadResult::End) break;
        if (gap > 0) {
            events.log("gap of " + formatClock(gap) + " at " + formatClock(toSeconds(run.position())) + ", resumed");
            if (!run.skip(gap, error)) return false;
        }
        if (!run.add(piece, error)) return false;
        if ((sinceProgress += piece.size()) >= static_cast<size_t>(kFingerprintRate) * 30) {
            run.progress(duration);
            sinceProgress = 0;
        }
    }
    return run.finish(error);
}

}  // namespace melodex::server
