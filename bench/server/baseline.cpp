#include "bench/server/baseline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace melodex::bench {
namespace {

std::string shellQuoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct PipeClose {
    void operator()(FILE* f) const { pclose(f); }
};

bool run(const std::string& command, std::string& output) {
    std::unique_ptr<FILE, PipeClose> pipe(popen(command.c_str(), "r"));
    if (!pipe) return false;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) output.append(buffer, n);
    return true;
}

}  // namespace

bool Baseline::open(const std::string& program, const std::string& db, const std::vector<std::string>& folders,
                    std::string& error) {
    program_ = program;
    db_ = db;
    std::string out;
    if (!std::filesystem::exists(db + "/catalog.sqlite")) {
        std::string cmd = shellQuoted(program) + " --db " + shellQuoted(db) + " index";
        for (const std::string& f : folders) cmd += " " + shellQuoted(f);
        if (std::system((cmd + " > /dev/null 2>&1").c_str()) != 0) {
            error = "the baseline could not index the corpus: " + cmd;
            return false;
        }
    }
    // "   ID  DURATION  ARTIST - TITLE  [ALBUM]  PATH[  (recording group N)]"
    if (!run(shellQuoted(program) + " --db " + shellQuoted(db) + " list", out)) {
        error = "cannot run " + program;
        return false;
    }
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t album = line.find("]  ");
        if (album == std::string::npos) continue;
        const uint32_t id = static_cast<uint32_t>(std::strtoul(line.c_str(), nullptr, 10));
        std::string path = line.substr(album + 3);
        const size_t group = path.find("  (recording group ");
        if (group != std::string::npos) {
            groupOf_[id] = static_cast<uint32_t>(std::strtoul(path.c_str() + group + 19, nullptr, 10));
            path.resize(group);
        }
        pathOf_[id] = path;
    }
    if (pathOf_.empty()) {
        error = "the baseline lists no track";
        return false;
    }
    return true;
}

bool Baseline::identify(const std::vector<std::vector<uint8_t>>& bodies, const std::string& workDir,
                        std::vector<Answer>& answers, std::string& error) {
    const std::string dir = workDir + "/baseline-queries";
    std::filesystem::create_directories(dir);
    std::string cmd = shellQuoted(program_) + " --db " + shellQuoted(db_) + " identify --json";
    for (size_t i = 0; i < bodies.size(); ++i) {
        const std::string file = dir + "/" + std::to_string(i) + ".wav";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bodies[i].data()), static_cast<std::streamsize>(bodies[i].size()));
        cmd += " " + shellQuoted(file);
    }
    std::string out;
    if (!run(cmd + " 2>/dev/null", out)) {
        error = "cannot run " + program_;
        return false;
    }
    const auto number = [](const std::string& line, const char* field) -> uint32_t {
        const size_t at = line.find(field);
        return at == std::string::npos ? 0 : static_cast<uint32_t>(std::strtoul(line.c_str() + at + std::strlen(field), nullptr, 10));
    };
    answers.assign(bodies.size(), {});
    std::istringstream lines(out);
    size_t i = 0;
    for (std::string line; std::getline(lines, line) && i < bodies.size(); ++i) {
        Answer& a = answers[i];
        a.best = pathOf_.count(number(line, "\"track\":")) ? pathOf_[number(line, "\"track\":")] : "";
        a.runnerUp = pathOf_.count(number(line, "\"runner_up_track\":")) ? pathOf_[number(line, "\"runner_up_track\":")] : "";
        if (line.find("\"found\":true") == std::string::npos) continue;
        const uint32_t track = number(line, "\"id\":");
        const auto group = groupOf_.find(track);
        for (const auto& [other, path] : pathOf_)
            if (other == track || (group != groupOf_.end() && groupOf_.count(other) && groupOf_[other] == group->second))
                a.found.push_back(path);
    }
    std::filesystem::remove_all(dir);
    return true;
}

}  // namespace melodex::bench
