#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace melodex::server {

struct HttpRequest {
    std::string method;
    std::string target;
    std::string host;  // the Host header
    std::string body;
    std::string range;  // the Range header, for streams
};

// A reply body made piece by piece (a file's bytes, a conversion), so that a long one is never
// held whole. Its pieces are made on the stream threads, one at a time, and the next one only
// once the previous one is sent.
class BodySource {
public:
    virtual ~BodySource() = default;
    // Puts the next piece in `piece` (replacing what it held); `done` after the last one. False
    // with a reason when the body cannot be finished: the connection is then closed.
    virtual bool next(std::string& piece, bool& done, std::string& error) = 0;
};

struct HttpReply {
    int status = 200;
    std::string contentType = "text/plain";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string logNote;  // what the access log adds about the decision
    // When set, the body comes from here instead, `streamLength` bytes in all.
    std::shared_ptr<BodySource> stream;
    uint64_t streamLength = 0;
};

// A plain-text error reply: the message and a line break.
HttpReply errorReply(int status, const std::string& message);
// 503 for a store that failed (`what`: "index", "catalogue", "store"), to be tried again shortly.
HttpReply storeFailure(const std::string& what, const std::string& error);

}  // namespace melodex::server
