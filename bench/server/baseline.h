#pragma once

// Another build of melodex-server (an earlier engine) measured from outside on the same request
// bodies: it indexes the catalogue into a database of its own once, then identifies batches of
// saved bodies with `identify --json`.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace melodex::bench {

class Baseline {
public:
    // Indexes `folders` into `db` unless it already holds them.
    bool open(const std::string& program, const std::string& db, const std::vector<std::string>& folders, std::string& error);
    // What the build answered for one body: the paths of the track it identified and of every
    // other track of its recording group (none when it found nothing), and the paths of the
    // best-voted track and of the runner-up outside its group, found or not.
    struct Answer {
        std::vector<std::string> found;
        std::string best, runnerUp;
    };
    bool identify(const std::vector<std::vector<uint8_t>>& bodies, const std::string& workDir,
                  std::vector<Answer>& answers, std::string& error);

private:
    std::string program_, db_;
    std::map<uint32_t, std::string> pathOf_;
    std::map<uint32_t, uint32_t> groupOf_;
};

}  // namespace melodex::bench
