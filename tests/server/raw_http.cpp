#include "tests/server/raw_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace melodex::server::test {

RawConnection::RawConnection(int port, const char* from) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

RawConnection::~RawConnection() {
    if (fd_ >= 0) close(fd_);
}

bool RawConnection::send(const std::string& bytes) {
    size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

void RawConnection::shutdownWrite() {
    if (fd_ >= 0) shutdown(fd_, SHUT_WR);
}

bool RawConnection::receive(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || poll(&p, 1, static_cast<int>(wait.count())) <= 0) return fd_ >= 0;
    char buffer[65536];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    in_.append(buffer, static_cast<size_t>(n));
    return true;
}

RawReply RawConnection::readReply(std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    RawReply reply;
    while (true) {
        const size_t end = in_.find("\r\n\r\n");
        if (end != std::string::npos) {
            RawReply parsed;
            size_t line = in_.find("\r\n");
            if (in_.compare(0, 9, "HTTP/1.1 ") == 0) parsed.status = std::atoi(in_.c_str() + 9);
            while (line < end) {
                const size_t next = in_.find("\r\n", line + 2);
                const std::string field = in_.substr(line + 2, next - line - 2);
                const size_t colon = field.find(':');
                std::string name = field.substr(0, colon);
                for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (colon != std::string::npos) parsed.headers[name] = field.substr(field.find_first_not_of(' ', colon + 1));
                line = next;
            }
            const size_t length = std::strtoul(parsed.header("content-length").c_str(), nullptr, 10);
            if (in_.size() >= end + 4 + length) {
                parsed.body = in_.substr(end + 4, length);
                in_.erase(0, end + 4 + length);
                // An interim reply is not the answer.
                if (parsed.status == 100) continue;
                return parsed;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !receive(left)) return reply;
    }
}

bool RawConnection::closedWithin(std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        in_.clear();
        if (!receive(left)) return true;
    }
}

std::string RawConnection::readUntilClosed(std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !receive(left)) break;
    }
    std::string all;
    all.swap(in_);
    return all;
}

size_t residentBytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long pages = 0, resident = 0;
    const int got = std::fscanf(f, "%lu %lu", &pages, &resident);
    std::fclose(f);
    return got == 2 ? resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0;
    close(fd);
    return ok ? ntohs(addr.sin_port) : 18502;
}

}  // namespace melodex::server::test
