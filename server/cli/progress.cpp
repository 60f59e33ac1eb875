#include "server/cli/progress.h"

#include <unistd.h>

#include <algorithm>

namespace melodex::server {

std::string formatDuration(double seconds) {
    if (seconds < 0) seconds = 0;
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    return text;
}

std::string progressBar(double fraction) {
    constexpr int kWidth = 24;
    const int filled = std::clamp(static_cast<int>(fraction * kWidth), 0, kWidth);
    return "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "]";
}

double timeLeft(double elapsed, double fraction) { return fraction > 0 ? elapsed * (1.0 - fraction) / fraction : 0.0; }

ProgressLine::ProgressLine(std::FILE* out) : out_(out), terminal_(isatty(fileno(out)) != 0) {}

void ProgressLine::update(const IndexProgress& p) {
    const bool last = p.filesDone == p.filesTotal;
    if (!terminal_ && !last && p.elapsedSeconds - lastPrinted_ < 5.0) return;
    lastPrinted_ = p.elapsedSeconds;
    const double fraction = p.bytesTotal > 0 ? p.bytesDone / p.bytesTotal
                                             : (p.filesTotal ? static_cast<double>(p.filesDone) / p.filesTotal : 1.0);
    std::fprintf(out_, "%s%s %zu/%zu files  %.2f h audio  %s left", terminal_ ? "\r" : "", progressBar(fraction).c_str(),
                 p.filesDone, p.filesTotal, p.audioSeconds / 3600.0,
                 formatDuration(timeLeft(p.elapsedSeconds, fraction)).c_str());
    std::fputs(terminal_ ? "\033[K" : "\n", out_);
    std::fflush(out_);
    drawn_ = true;
}

void ProgressLine::finish() {
    if (terminal_ && drawn_) std::fputc('\n', out_);
    std::fflush(out_);
}

}  // namespace melodex::server
