// melodex-load: the HTTP layer under heavy and hostile traffic, on loopback. Runs `serve` from
// one or two melodex-server programs (this one and, for comparison, a build of an earlier
// layer) on the same catalogue and prints the figures side by side:
//   - 200 concurrent clients posting identification bodies (errors, wrong replies, latency,
//     fairness, throughput against what the cores allow);
//   - 1000 idle or dripping connections from one address, and a normal client beside them;
//   - oversized bodies and headers, with the server's resident memory;
//   - a burst of 300 simultaneous connections.
#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/server/corpus.h"
#include "server/fingerprint/wav_body.h"

namespace {

using namespace melodex;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// ---- the server under test ----

class ServerProcess {
public:
    ServerProcess(const std::string& exe, const std::string& db, int port, const std::vector<std::string>& extra) : port_(port) {
        std::fflush(stdout);
        pid_ = fork();
        if (pid_ == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::vector<std::string> args = {exe, "--db", db, "serve", "--listen", "127.0.0.1:" + std::to_string(port)};
            args.insert(args.end(), extra.begin(), extra.end());
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
    }
    ~ServerProcess() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    // A field of /proc/PID/status in kB (VmRSS, VmHWM).
    long statusKb(const char* field) const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
        return 0;
    }
    double cpuSeconds() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t close = text.rfind(')');
        if (close == std::string::npos) return 0;
        std::vector<std::string> fields;
        std::string f;
        for (size_t i = close + 2; i < text.size(); ++i) {
            if (text[i] == ' ') {
                fields.push_back(f);
                f.clear();
            } else {
                f += text[i];
            }
        }
        // utime and stime are fields 14 and 15; fields here start at field 3.
        return fields.size() > 13 ? (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / sysconf(_SC_CLK_TCK) : 0;
    }

private:
    pid_t pid_ = -1;
    int port_;
};

// ---- plain sockets ----

int connectTo(int port, const char* from, bool nonBlocking) {
    const int fd = socket(AF_INET, SOCK_STREAM | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 && errno != EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

// A complete reply at the start of `in`: its length, status and body, or 0 while incomplete.
size_t completeReply(const std::string& in, int& status, std::string& body, bool& closes) {
    const size_t end = in.find("\r\n\r\n");
    if (end == std::string::npos) return 0;
    std::string head = in.substr(0, end);
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = head.find("\r\ncontent-length:");
    const size_t length = at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 17, nullptr, 10);
    if (in.size() < end + 4 + length) return 0;
    status = in.size() > 12 ? std::atoi(in.c_str() + 9) : 0;
    body = in.substr(end + 4, length);
    closes = head.find("\r\nconnection: close") != std::string::npos;
    return end + 4 + length;
}

// One request on a fresh blocking connection; status 0 when it fails or takes longer than `wait`.
int exchange(int port, const std::string& request, std::string& body, std::chrono::seconds wait, const char* from = "127.0.0.1") {
    const int fd = connectTo(port, from, false);
    if (fd < 0) return 0;
    timeval tv{static_cast<time_t>(wait.count()), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int status = 0;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        std::string in;
        char buffer[65536];
        bool closes = false;
        ssize_t n;
        while (completeReply(in, status, body, closes) == 0 && (n = recv(fd, buffer, sizeof buffer, 0)) > 0)
            in.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return status;
}

std::string identifyRequest(const std::string& body) {
    return "POST /servlet/QuaverId?id=1017&ownerIdentifier=2422 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}
const std::string kHealth = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

bool waitUntilUp(int port) {
    for (int i = 0; i < 200; ++i) {
        std::string body;
        if (exchange(port, kHealth, body, 2s) == 200) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// ---- figures ----

struct Figures {
    // concurrent clients
    size_t requests = 0, errors = 0, wrong = 0, refused = 0;  // refused: 503, retried after Retry-After
    double p50 = 0, p99 = 0, throughput = 0, capacity = 0, cpuPerQuery = 0;
    double serverCores = 0, clientCores = 0;  // CPU the server and this program used during the load
    int minPerClient = 0, maxPerClient = 0;
    double fairShare = 0;
    // idle and dripping connections
    double slowMb = 0, normalP50 = 0, normalP99 = 0;
    size_t normalErrors = 0, slowOpen = 0;
    // oversized requests
    double bodyFloodMb = 0, headerFloodMb = 0, lineFloodMb = 0;
    // burst
    size_t burstFailed = 0;
};

double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Closed-loop clients on one thread: each sends a request, waits for its reply, sends the next.
void concurrentClients(const ServerProcess& server, const std::vector<std::string>& requests,
                       const std::vector<std::string>& expected, int clients, double seconds, Figures& out) {
    struct Client {
        int fd = -1;
        std::string in;
        size_t sent = 0;
        size_t query = 0;
        Clock::time_point start;
        Clock::time_point resume;  // after a 503, not before Retry-After
        int done = 0;
    };
    std::vector<Client> all(static_cast<size_t>(clients));
    for (size_t i = 0; i < all.size(); ++i) all[i].query = i % requests.size();
    std::vector<double> latencies;
    const double cpuBefore = server.cpuSeconds();
    const double ownBefore = ownCpuSeconds();
    const auto begin = Clock::now();
    const auto failed = [&](Client& c) {
        ++out.errors;
        close(c.fd);
        c.fd = -1;
    };
    while (since(begin) < seconds) {
        std::vector<pollfd> fds;
        const auto now = Clock::now();
        for (Client& c : all) {
            if (c.fd < 0 && now >= c.resume) {
                c.fd = connectTo(server.port(), "127.0.0.1", true);
                c.in.clear();
                c.sent = 0;
                c.start = Clock::now();
            }
            const bool sending = c.sent < requests[c.query].size();
            fds.push_back({c.fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0});  // fd -1: waiting, ignored
        }
        poll(fds.data(), fds.size(), 100);
        for (size_t i = 0; i < all.size(); ++i) {
            Client& c = all[i];
            if (c.fd < 0) continue;
            if (std::chrono::duration<double>(Clock::now() - c.start).count() > 30) {
                failed(c);
                continue;
            }
            if (fds[i].revents == 0) continue;
            const std::string& request = requests[c.query];
            if (c.sent < request.size()) {
                const ssize_t n = send(c.fd, request.data() + c.sent, request.size() - c.sent, MSG_NOSIGNAL);
                if (n < 0 && errno != EAGAIN) failed(c);
                if (n > 0) c.sent += static_cast<size_t>(n);
                continue;
            }
            char buffer[65536];
            const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                if (n == 0 || errno != EAGAIN) failed(c);
                continue;
            }
            c.in.append(buffer, static_cast<size_t>(n));
            int status = 0;
            std::string body;
            bool closes = false;
            if (completeReply(c.in, status, body, closes) == 0) continue;
            if (status == 503) {
                // A refusal says when to come back: this client waits that long, like a polite one.
                ++out.refused;
                const size_t at = c.in.find("Retry-After: ");
                const int wait = at == std::string::npos ? 1 : std::max(1, std::min(5, std::atoi(c.in.c_str() + at + 13)));
                c.resume = Clock::now() + std::chrono::seconds(wait);
                close(c.fd);
                c.fd = -1;
                continue;
            }
            latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - c.start).count());
            ++c.done;
            ++out.requests;
            if (status != 200) ++out.errors;
            else if (body != expected[c.query]) ++out.wrong;
            c.query = (c.query + static_cast<size_t>(clients)) % requests.size();
            c.in.clear();
            c.sent = 0;
            c.start = Clock::now();
            if (closes) {
                close(c.fd);
                c.fd = -1;
            }
        }
    }
    const double elapsed = since(begin);
    out.serverCores = (server.cpuSeconds() - cpuBefore) / elapsed;
    out.clientCores = (ownCpuSeconds() - ownBefore) / elapsed;
    for (Client& c : all)
        if (c.fd >= 0) close(c.fd);
    out.throughput = static_cast<double>(out.requests) / elapsed;
    out.p50 = bench::percentile(latencies, 50);
    out.p99 = bench::percentile(latencies, 99);
    out.fairShare = static_cast<double>(out.requests) / clients;
    out.minPerClient = out.maxPerClient = all.empty() ? 0 : all[0].done;
    for (const Client& c : all) {
        out.minPerClient = std::min(out.minPerClient, c.done);
        out.maxPerClient = std::max(out.maxPerClient, c.done);
    }
}

// 1000 connections from 127.0.0.1, half idle and half dripping a header a byte a second (and
// coming back when dropped), while a normal client on 127.0.0.2 identifies one recording after another.
void slowConnections(const ServerProcess& server, const std::string& request, int count, double seconds, Figures& out) {
    const long before = server.statusKb("VmRSS:");
    std::vector<int> fds(static_cast<size_t>(count), -1);
    std::vector<size_t> dripped(fds.size(), 0);
    const std::string header = request.substr(0, request.find("\r\n\r\n"));
    for (int& fd : fds) fd = connectTo(server.port(), "127.0.0.1", true);
    std::vector<double> latencies;
    std::atomic<bool> stop{false};
    std::thread normal([&] {
        std::this_thread::sleep_for(1s);
        while (!stop) {
            const auto start = Clock::now();
            std::string body;
            const int status = exchange(server.port(), request, body, 10s, "127.0.0.2");
            if (status == 200) latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            else ++out.normalErrors;
            std::this_thread::sleep_for(50ms);
        }
    });
    const auto begin = Clock::now();
    long peak = 0;
    while (since(begin) < seconds) {
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i] < 0) fds[i] = connectTo(server.port(), "127.0.0.1", true);
            if (fds[i] < 0 || i % 2 == 1) continue;
            const char byte = header[dripped[i] % header.size()];
            if (send(fds[i], &byte, 1, MSG_NOSIGNAL) == 1) {
                ++dripped[i];
            } else if (errno != EAGAIN) {
                close(fds[i]);
                fds[i] = -1;
                dripped[i] = 0;
            }
        }
        // Connections the server closed are noticed by a read of zero.
        for (int& fd : fds) {
            char sink[256];
            if (fd >= 0 && recv(fd, sink, sizeof sink, MSG_DONTWAIT) == 0) {
                close(fd);
                fd = -1;
            }
        }
        peak = std::max(peak, server.statusKb("VmRSS:"));
        std::this_thread::sleep_for(1s);
    }
    stop = true;
    normal.join();
    for (int fd : fds)
        if (fd >= 0) {
            ++out.slowOpen;
            close(fd);
        }
    out.slowMb = static_cast<double>(peak - before) / 1024.0;
    out.normalP50 = bench::percentile(latencies, 50);
    out.normalP99 = bench::percentile(latencies, 99);
}

// Sends `start`, then `repeat` until `total` bytes or 10 s; returns the server's peak memory growth in MB.
double flood(const ServerProcess& server, const std::string& start, const std::string& repeat, size_t total) {
    const long before = server.statusKb("VmRSS:");
    const int fd = connectTo(server.port(), "127.0.0.1", false);
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    size_t sent = 0;
    long peak = before;
    const auto begin = Clock::now();
    bool open = send(fd, start.data(), start.size(), MSG_NOSIGNAL) > 0;
    for (int round = 0; open && sent < total && since(begin) < 10; ++round) {
        const ssize_t n = send(fd, repeat.data(), repeat.size(), MSG_NOSIGNAL);
        open = n > 0;
        sent += open ? static_cast<size_t>(n) : 0;
        if (round % 64 == 0) peak = std::max(peak, server.statusKb("VmRSS:"));
    }
    peak = std::max(peak, server.statusKb("VmRSS:"));
    close(fd);
    std::this_thread::sleep_for(500ms);
    return static_cast<double>(peak - before) / 1024.0;
}

void oversized(const ServerProcess& server, Figures& out) {
    const std::string block(65536, 'x');
    const size_t total = size_t{300} << 20;
    out.bodyFloodMb = flood(server, "POST /servlet/QuaverId?id=1&ownerIdentifier=2 HTTP/1.1\r\nHost: x\r\nContent-Length: 2000000\r\n\r\n",
                            block, total);
    std::string lines;
    for (int i = 0; i < 8192; ++i) lines += "X-A: b\r\n";
    out.headerFloodMb = flood(server, "GET /health HTTP/1.1\r\n", lines, size_t{40} << 20);
    out.lineFloodMb = flood(server, "GET /", block, total);
}

// 300 connections opened at once, each asking for /health once; 20 s for all of them.
void burst(const ServerProcess& server, int count, Figures& out) {
    const std::string request = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    struct Probe {
        int fd = -1;
        bool sent = false, done = false;
        std::string in;
    };
    std::vector<Probe> probes(static_cast<size_t>(count));
    size_t finished = 0;
    for (Probe& p : probes) {
        p.fd = connectTo(server.port(), "127.0.0.1", true);
        if (p.fd < 0) {
            p.done = true;
            ++finished;
            ++out.burstFailed;
        }
    }
    const auto begin = Clock::now();
    while (finished < probes.size() && since(begin) < 20) {
        std::vector<pollfd> fds;
        for (const Probe& p : probes) fds.push_back({p.done ? -1 : p.fd, static_cast<short>(p.sent ? POLLIN : POLLOUT), 0});
        poll(fds.data(), fds.size(), 100);
        for (size_t i = 0; i < probes.size(); ++i) {
            Probe& p = probes[i];
            if (p.done || p.fd < 0 || fds[i].revents == 0) continue;
            int status = 0;
            std::string body;
            bool closes = false;
            if (!p.sent) {
                p.sent = send(p.fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
                if (!p.sent) p.done = true;  // refused or reset
            } else {
                char buffer[4096];
                const ssize_t n = recv(p.fd, buffer, sizeof buffer, 0);
                if (n > 0) p.in.append(buffer, static_cast<size_t>(n));
                if (n <= 0 || completeReply(p.in, status, body, closes) > 0) p.done = true;
            }
            if (p.done) {
                ++finished;
                if (completeReply(p.in, status, body, closes) == 0 || status != 200) ++out.burstFailed;
            }
        }
    }
    for (Probe& p : probes) {
        if (!p.done) ++out.burstFailed;
        if (p.fd >= 0) close(p.fd);
    }
}

Figures measure(const std::string& exe, const std::string& db, int port, const std::vector<std::string>& extra,
                const std::vector<std::string>& requests, int clients, double seconds) {
    Figures f;
    ServerProcess server(exe, db, port, extra);
    if (!waitUntilUp(port)) {
        std::fprintf(stderr, "melodex-load: %s did not come up\n", exe.c_str());
        return f;
    }
    std::printf("  %s: oversized requests\n", exe.c_str());
    std::fflush(stdout);
    oversized(server, f);
    // Each server's own sequential answers are the right ones; its CPU time per query sets the capacity.
    std::vector<std::string> expected(requests.size());
    const double cpuBefore = server.cpuSeconds();
    for (size_t i = 0; i < requests.size(); ++i) exchange(port, requests[i], expected[i], 30s);
    f.cpuPerQuery = (server.cpuSeconds() - cpuBefore) / static_cast<double>(requests.size());
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    f.capacity = f.cpuPerQuery > 0 ? cores / f.cpuPerQuery : 0;
    std::printf("  %s: %d concurrent clients for %.0f s\n", exe.c_str(), clients, seconds);
    std::fflush(stdout);
    concurrentClients(server, requests, expected, clients, seconds, f);
    std::printf("  %s: burst\n", exe.c_str());
    std::fflush(stdout);
    burst(server, 300, f);
    return f;
}

// On a fresh server, so that memory freed by earlier phases does not hide what connections cost.
void measureSlow(const std::string& exe, const std::string& db, int port, const std::vector<std::string>& extra,
                 const std::vector<std::string>& requests, int slow, Figures& f) {
    ServerProcess server(exe, db, port, extra);
    if (!waitUntilUp(port)) return;
    std::string body;
    for (const std::string& r : requests) exchange(port, r, body, 30s);
    std::printf("  %s: %d slow connections\n", exe.c_str(), slow);
    std::fflush(stdout);
    slowConnections(server, requests[0], slow, 15, f);
}

void row(const char* name, const char* goal, const std::vector<Figures>& runs, const std::function<std::string(const Figures&)>& show) {
    std::printf("| %s | %s |", name, goal);
    for (const Figures& f : runs) std::printf(" %s |", show(f).c_str());
    std::printf("\n");
}

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"melodex-load: the HTTP layer under heavy and hostile traffic, on loopback"};
    std::string serverExe = "build/server/melodex-server", baseline;
    const char* home = std::getenv("HOME");
    std::string corpusDir = std::string(home ? home : ".") + "/.cache/melodex-eval/catalogue";
    std::string pcmCache = std::string(home ? home : ".") + "/.cache/melodex-eval/pcm";
    int tracks = 20, clients = 200, slow = 1000, port = 18870;
    double seconds = 20;
    app.add_option("--server", serverExe, "melodex-server to measure")->capture_default_str();
    app.add_option("--baseline", baseline, "an earlier melodex-server to measure beside it");
    app.add_option("--corpus", corpusDir, "music folder (bench/server/make_corpus.sh)")->capture_default_str();
    app.add_option("--tracks", tracks, "tracks to index from it")->capture_default_str();
    app.add_option("--clients", clients, "concurrent clients")->capture_default_str();
    app.add_option("--seconds", seconds, "seconds of concurrent load")->capture_default_str();
    app.add_option("--slow", slow, "idle and dripping connections")->capture_default_str();
    std::vector<std::string> serverArgs;
    app.add_option("--server-args", serverArgs, "more options for the measured server's serve (not the baseline's)");
    CLI11_PARSE(app, argc, argv);

    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    std::signal(SIGPIPE, SIG_IGN);

    double decodeSeconds = 0;
    std::vector<bench::Track> corpus = bench::loadCorpus(corpusDir, 2, decodeSeconds, pcmCache);
    if (corpus.empty()) {
        std::fprintf(stderr, "melodex-load: no music in %s (run bench/server/make_corpus.sh)\n", corpusDir.c_str());
        return 1;
    }
    corpus.resize(std::min(corpus.size(), static_cast<size_t>(tracks)));
    const std::string db = (std::filesystem::temp_directory_path() / ("melodex-load-" + std::to_string(getpid()))).string();
    std::string command = "'" + serverExe + "' --db '" + db + "' index";
    for (const bench::Track& t : corpus) command += " '" + t.path + "'";
    if (std::system((command + " > /dev/null 2>&1").c_str()) != 0) {
        std::fprintf(stderr, "melodex-load: indexing failed\n");
        return 1;
    }
    // Forty recordings: 11-second cuts of the catalogue in the client's own body.
    std::mt19937_64 rng(3);
    std::vector<std::string> requests;
    for (int i = 0; i < 40; ++i) {
        const bench::Track& t = corpus[static_cast<size_t>(i) % corpus.size()];
        if (t.samples.size() < 12 * 8000) continue;
        const size_t at = std::uniform_int_distribution<size_t>(0, t.samples.size() - 11 * 8000)(rng);
        const std::vector<float> cut(t.samples.begin() + static_cast<long>(at), t.samples.begin() + static_cast<long>(at + 11 * 8000));
        const std::vector<uint8_t> body = server::buildClientBody(cut);
        requests.push_back(identifyRequest({body.begin(), body.end()}));
    }

    std::printf("catalogue: %zu tracks; %zu recordings; %u cores\n", corpus.size(), requests.size(),
                std::thread::hardware_concurrency());
    std::vector<Figures> runs;
    std::vector<std::string> names;
    if (!baseline.empty()) {
        runs.push_back(measure(baseline, db, port, {}, requests, clients, seconds));
        measureSlow(baseline, db, port + 2, {}, requests, slow, runs.back());
        names.push_back("previous layer");
    }
    // The slow connections all come from one address: lift the per-address cap to measure their cost.
    std::vector<std::string> extra = {"--max-per-address", "0"};
    extra.insert(extra.end(), serverArgs.begin(), serverArgs.end());
    runs.push_back(measure(serverExe, db, port + 1, extra, requests, clients, seconds));
    measureSlow(serverExe, db, port + 3, extra, requests, slow, runs.back());
    names.push_back("this layer");
    std::filesystem::remove_all(db);

    std::printf("\n| figure | goal |");
    for (const std::string& n : names) std::printf(" %s |", n.c_str());
    std::printf("\n|---|---|%s\n", baseline.empty() ? "---|" : "---|---|");
    row("concurrent clients: answered, errors, wrong replies, 503", "0 errors, 0 wrong", runs, [](const Figures& f) {
        char text[96];
        std::snprintf(text, sizeof text, "%zu, %zu, %zu, %zu", f.requests, f.errors, f.wrong, f.refused);
        return std::string(text);
    });
    row("latency p50 / p99 (p99 / p50)", "p99 < 3 x p50", runs,
        [](const Figures& f) { return format("%.0f / %.0f ms (%.2f)", f.p50, f.p99, f.p50 > 0 ? f.p99 / f.p50 : 0); });
    row("requests per client: fewest / most (fair share)", "within 2 x", runs, [](const Figures& f) {
        return format("%.0f / %.0f (%.1f)", f.minPerClient, f.maxPerClient, f.fairShare);
    });
    row("throughput / cores' capacity (CPU per query)", "within 10 %", runs, [](const Figures& f) {
        return format("%.1f / %.1f req/s (%.1f ms)", f.throughput, f.capacity, f.cpuPerQuery * 1000);
    });
    row("CPU during the load: server / this client (cores)", "", runs,
        [](const Figures& f) { return format("%.2f / %.2f", f.serverCores, f.clientCores); });
    row("throughput / capacity of the CPU the server got", "within 10 %", runs, [](const Figures& f) {
        return format("%.0f %%", f.serverCores > 0 ? 100.0 * f.throughput * f.cpuPerQuery / f.serverCores : 0);
    });
    row("slow connections: memory, still open at the end", "< 50 MB", runs,
        [](const Figures& f) { return format("%.1f MB, %.0f", f.slowMb, static_cast<double>(f.slowOpen)); });
    row("normal client beside them: p50 / p99, failures", "p99 < 100 ms", runs,
        [](const Figures& f) { return format("%.0f / %.0f ms, %.0f", f.normalP50, f.normalP99, static_cast<double>(f.normalErrors)); });
    row("memory growth: 300 MB body after 413 / 40 MB of header lines / 300 MB request line", "< 10 MB over the body limit",
        runs, [](const Figures& f) { return format("%.1f / %.1f / %.1f MB", f.bodyFloodMb, f.headerFloodMb, f.lineFloodMb); });
    row("burst of 300 connections: failed", "0", runs,
        [](const Figures& f) { return format("%.0f", static_cast<double>(f.burstFailed)); });
    return 0;
}
