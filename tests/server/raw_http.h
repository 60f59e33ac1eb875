#pragma once

#include <chrono>
#include <map>
#include <string>

namespace melodex::server::test {

using namespace std::chrono_literals;

struct RawReply {
    int status = 0;  // 0: no complete reply
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

// A plain TCP connection to a service on loopback, for exchanges no HTTP library would send:
// dripped, pipelined, oversized or contradictory requests. `from` picks the client address.
class RawConnection {
public:
    explicit RawConnection(int port, const char* from = "127.0.0.1");
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // Sends all of it; false once the server has closed or reset the connection.
    bool send(const std::string& bytes);
    void shutdownWrite();
    // The next reply (status line, headers and a Content-Length body; an interim 100 is skipped),
    // or status 0 when none is complete within `wait`.
    RawReply readReply(std::chrono::milliseconds wait);
    // True when the server ends the connection within `wait`; what it sent until then, in `rest`.
    bool closedWithin(std::chrono::milliseconds wait, std::string* rest = nullptr);

private:
    bool receive(std::chrono::milliseconds wait);

    int fd_ = -1;
    std::string in_;
};

// Requests as a client writes them.
std::string getRequest(const std::string& target, const std::string& host = "x");
std::string postRequest(const std::string& target, const std::string& body, const std::string& extraHeaders = "",
                        const std::string& host = "x");
// The reply to one request sent on a fresh connection.
RawReply replyTo(int port, const std::string& request, std::chrono::milliseconds wait = 30s);

// The value of <NAME>...</NAME> in a reply's text, or "<absent>".
std::string element(const std::string& reply, const std::string& name);
// The whole reply to a recording that matches nothing.
inline const std::string kNoMatchReply("OK\0\0\0\0NO_MATCH\r\n", 16);

// A loopback port nothing listens on just now.
int freeLoopbackPort();

}  // namespace melodex::server::test
