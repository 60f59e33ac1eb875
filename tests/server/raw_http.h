#pragma once

#include <chrono>
#include <map>
#include <string>

#include "tests/support/silent_port.h"

namespace melodex::server::test {

using namespace std::chrono_literals;

struct RawReply {
    int status = 0;  // 0: no complete reply
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& name) const { return headers.count(name) ? headers.at(name) : ""; }
};

// A plain TCP connection to a service on loopback, for exchanges no HTTP library would send:
// dripped, pipelined, oversized or contradictory requests. `from` picks the client address.
class RawConnection {
public:
    explicit RawConnection(int port, const char* from = "127.0.0.1");
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;

    // Sends all of it; false once the server has closed or reset the connection.
    bool send(const std::string& bytes);
    void shutdownWrite();
    // The next reply (an interim 100 skipped), or status 0 when none is complete within `wait`.
    RawReply readReply(std::chrono::milliseconds wait);
    // True when the server ends the connection within `wait`; what it sent until then, in `rest`.
    bool closedWithin(std::chrono::milliseconds wait, std::string* rest = nullptr);

private:
    // Reads what comes before `deadline`; false at the end of the stream or at the deadline.
    bool receive(std::chrono::steady_clock::time_point deadline);

    int fd_;
    std::string in_;
    bool ended_ = false;
};

// Requests as a client writes them, and the reply to one sent on a fresh connection.
std::string getRequest(const std::string& target, const std::string& host = "x");
std::string postRequest(const std::string& target, const std::string& body, const std::string& extraHeaders = "",
                        const std::string& host = "x");
RawReply replyTo(int port, const std::string& request, std::chrono::milliseconds wait = 30s);

// The value of <NAME>...</NAME> in a reply's text, or "<absent>".
std::string element(const std::string& reply, const std::string& name);
// The whole reply to a recording that matches nothing.
inline const std::string kNoMatchReply("OK\0\0\0\0NO_MATCH\r\n", 16);

// A loopback port nothing listens on just now.
inline int freeLoopbackPort() { return SilentPort().port(); }

}  // namespace melodex::server::test
