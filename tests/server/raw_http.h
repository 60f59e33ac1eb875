#pragma once

#include <chrono>
#include <map>
#include <string>

namespace melodex::server::test {

struct RawReply {
    int status = 0;  // 0: no complete reply
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

// A plain TCP connection to the service on loopback, for exchanges no HTTP library would send:
// dripped, pipelined, oversized or contradictory requests. `from` picks the client address.
class RawConnection {
public:
    explicit RawConnection(int port, const char* from = "127.0.0.1");
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return fd_ >= 0; }
    // Sends all of it; false once the server has closed or reset the connection.
    bool send(const std::string& bytes);
    void shutdownWrite();
    // The next reply (status line, headers and a Content-Length body), or status 0 when none
    // is complete within `wait`.
    RawReply readReply(std::chrono::milliseconds wait);
    // True when the server ends the connection within `wait` (whatever else it sends is dropped).
    bool closedWithin(std::chrono::milliseconds wait);
    // Everything the server sends until it ends the connection (or `wait` has passed).
    std::string readUntilClosed(std::chrono::milliseconds wait);

private:
    // Reads what is there within `wait`; false at the end of the stream or on an error.
    bool receive(std::chrono::milliseconds wait);

    int fd_ = -1;
    std::string in_;
};

// Resident memory of this process, in bytes.
size_t residentBytes();

// A loopback port nothing listens on just now (other test runs on this machine hold fixed ones).
int freeLoopbackPort();

}  // namespace melodex::server::test
