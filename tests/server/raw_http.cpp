#include "tests/server/raw_http.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

namespace melodex::server::test {

RawConnection::RawConnection(int port, const char* from) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    remote.sin_port = htons(static_cast<uint16_t>(port));
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ended_ = bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
             connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0;
}

RawConnection::~RawConnection() { close(fd_); }

bool RawConnection::send(const std::string& bytes) {
    for (size_t sent = 0; !ended_ && sent < bytes.size();) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return !ended_;
}

void RawConnection::shutdownWrite() { shutdown(fd_, SHUT_WR); }

bool RawConnection::receive(std::chrono::steady_clock::time_point deadline) {
    using std::chrono::milliseconds;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (ended_ || left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[65536];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    ended_ = n <= 0;
    if (n > 0) in_.append(buffer, static_cast<size_t>(n));
    return n > 0;
}

RawReply RawConnection::readReply(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (true) {
        const size_t end = in_.find("\r\n\r\n");
        RawReply reply;
        if (end != std::string::npos && in_.compare(0, 9, "HTTP/1.1 ") == 0) reply.status = std::atoi(&in_[9]);
        for (size_t line = in_.find("\r\n"), next; end != std::string::npos && line < end; line = next) {
            next = in_.find("\r\n", line + 2);
            const std::string field = in_.substr(line + 2, next - line - 2);
            const size_t colon = field.find(':');
            std::string name = field.substr(0, colon);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (colon != std::string::npos) reply.headers[name] = field.substr(field.find_first_not_of(' ', colon + 1));
        }
        const size_t length = std::strtoul(reply.header("content-length").c_str(), nullptr, 10);
        if (end != std::string::npos && in_.size() >= end + 4 + length) {
            reply.body = in_.substr(end + 4, length);
            in_.erase(0, end + 4 + length);
            if (reply.status != 100) return reply;
        } else if (!receive(deadline)) {
            return {};
        }
    }
}

bool RawConnection::closedWithin(std::chrono::milliseconds wait, std::string* rest) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (receive(deadline)) continue;
    if (rest != nullptr) *rest = in_;
    in_.clear();
    return ended_;
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
    const size_t open = reply.find("<" + name + ">"), close = reply.find("</" + name + ">");
    if (open == std::string::npos || close == std::string::npos) return "<absent>";
    return reply.substr(open + name.size() + 2, close - open - name.size() - 2);
}

}  // namespace melodex::server::test
