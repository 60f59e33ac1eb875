#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>

#include "server/cli/commands.h"
#include "server/cli/progress.h"
#include "server/monitor/clock_time.h"
#include "server/monitor/monitor.h"
#include "server/monitor/segment_writer.h"

namespace melodex::server {
namespace {

// The position in a file and the time left, redrawn in place on a terminal's stderr; nothing
// where stderr is a log, and nothing for live inputs, which take as long as they play.
class MonitorProgress {
public:
    explicit MonitorProgress(bool shown) : shown_(shown && isatty(STDERR_FILENO) != 0) {}
    void update(double position, double duration) {
        if (!shown_ || duration <= 0) return;
        const double fraction = std::min(1.0, position / duration);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        std::fprintf(stderr, "\r%s %s of %s  %s left\033[K", progressBar(fraction).c_str(), formatClock(position).c_str(),
                     formatClock(duration).c_str(), formatDuration(timeLeft(elapsed, fraction)).c_str());
        std::fflush(stderr);
        drawn_ = true;
    }
    // Before a line of output: the bar goes, and comes back with the next update.
    void clear() {
        if (!drawn_) return;
        std::fputs("\r\033[K", stderr);
        drawn_ = false;
    }

private:
    const bool shown_;
    bool drawn_ = false;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace

int runMonitor(const StoreOptions& storage, const MonitorCommand& cmd) {
    if (cmd.options.toSeconds > 0 && cmd.options.toSeconds <= cmd.options.fromSeconds) {
        std::fprintf(stderr, "melodex-server: --to must come after --from\n");
        return 2;
    }
    if (cmd.options.segments.stepSeconds > cmd.options.segments.windowSeconds) {
        std::fprintf(stderr, "melodex-server: --step longer than --window would leave audio unheard\n");
        return 2;
    }
    Stores stores;
    if (!openStores(storage, stores)) return 1;
    SegmentWriter writer(stdout, cmd.format);
    std::map<uint32_t, TrackRecord> tracks;
    int status = 0;
    for (const std::string& input : cmd.inputs) {
        MonitorProgress progress(cmd.progress);
        MonitorEvents events;
        events.segment = [&](const Segment& s) {
            const TrackRecord* track = nullptr;
            if (s.known) {
                auto it = tracks.find(s.track);
                if (it == tracks.end()) {
                    // A track removed meanwhile, or a catalogue that fails, still has its number.
                    TrackRecord record;
                    bool found = false;
                    std::string problem;
                    if (!stores.catalog->find(s.track, record, found, problem) || !found)
                        record.artist = "track " + std::to_string(s.track);
                    it = tracks.emplace(s.track, record).first;
                }
                track = &it->second;
            }
            progress.clear();
            writer.write(s, track);
        };
        events.log = [&](const std::string& line) {
            progress.clear();
            std::fprintf(stderr, "melodex-server: %s\n", line.c_str());
        };
        events.progress = [&](double position, double duration) { progress.update(position, duration); };
        writer.beginInput(input, cmd.inputs.size() > 1);
        std::string error;
        const bool ok = monitorInput(*stores.index, input, cmd.options, events, error);
        progress.clear();
        if (!ok) {
            std::fprintf(stderr, "melodex-server: %s: %s\n", input.c_str(), error.c_str());
            status = 1;
        }
    }
    return status;
}

}  // namespace melodex::server
