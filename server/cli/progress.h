#pragma once

#include <cstdio>
#include <string>

#include "server/ingest/indexer.h"

namespace melodex::server {

// One status line for an index run: a bar, files, hours of audio and the time left (estimated
// from the bytes still to read). Redrawn in place on a terminal, printed every few seconds otherwise.
class ProgressLine {
public:
    explicit ProgressLine(std::FILE* out);
    void update(const IndexProgress& p);
    void finish();

private:
    std::FILE* out_;
    bool terminal_;
    double lastPrinted_ = -1e9;
    bool drawn_ = false;
};

std::string formatDuration(double seconds);
// The bar of a progress line, "[####....]", `fraction` of it done.
std::string progressBar(double fraction);
// The time still to go when `fraction` of the work took `elapsed` seconds.
double timeLeft(double elapsed, double fraction);

}  // namespace melodex::server
