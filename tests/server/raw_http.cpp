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
namespace {

// The time left until `deadline`.
std::chrono::milliseconds leftUntil(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
}

}  // namespace

RawConnection::RawConnection(int port, const char* from) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
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
    for (size_t sent = 0; fd_ >= 0 && sent < bytes.size();) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

void RawConnection::shutdownWrite() {
    if (fd_ >= 0) shutdown(fd_, SHUT_WR);
}

// Reads what is there within `wait`; false at the end of the stream or on an error.
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
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (true) {
        const size_t end = in_.find("\r\n\r\n");
        if (end != std::string::npos) {
            RawReply reply;
            if (in_.compare(0, 9, "HTTP/1.1 ") == 0) reply.status = std::atoi(in_.c_str() + 9);
            for (size_t line = in_.find("\r\n"); line < end;) {
                const size_t next = in_.find("\r\n", line + 2);
                const std::string field = in_.substr(line + 2, next - line - 2);
                const size_t colon = field.find(':');
                std::string name = field.substr(0, colon);
                for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (colon != std::string::npos)
                    reply.headers[name] = field.substr(field.find_first_not_of(' ', colon + 1));
                line = next;
            }
            const size_t length = std::strtoul(reply.header("content-length").c_str(), nullptr, 10);
            if (in_.size() >= end + 4 + length) {
                reply.body = in_.substr(end + 4, length);
                in_.erase(0, end + 4 + length);
                if (reply.status == 100) continue;
                return reply;
            }
        }
        const auto left = leftUntil(deadline);
        if (left.count() <= 0 || !receive(left)) return {};
    }
}

bool RawConnection::closedWithin(std::chrono::milliseconds wait, std::string* rest) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    bool closed = false;
    while (!closed) {
        const auto left = leftUntil(deadline);
        if (left.count() <= 0) break;
        closed = !receive(left);
    }
    if (rest != nullptr) rest->swap(in_);
    in_.clear();
    return closed;
}

std::string getRequest(const std::string& target, const std::string& host) {
    return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

std::string postRequest(const std::string& target, const std::string& body, const std::string& extraHeaders,
                        const std::string& host) {
    return "POST " + target + " HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n" + extraHeaders + "\r\n" + body;
}

RawReply replyTo(int port, const std::string& request, std::chrono::milliseconds wait) {
    RawConnection connection(port);
    return connection.send(request) ? connection.readReply(wait) : RawReply{};
}

std::string element(const std::string& reply, const std::string& name) {
    const size_t open = reply.find("<" + name + ">");
    const size_t close = reply.find("</" + name + ">");
    if (open == std::string::npos || close == std::string::npos) return "<absent>";
    return reply.substr(open + name.size() + 2, close - open - name.size() - 2);
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
