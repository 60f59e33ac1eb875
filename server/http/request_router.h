#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "server/catalog/catalog.h"
#include "server/http/service.h"
#include "server/index/index.h"
#include "server/match/identifier.h"

namespace melodex::server {

struct HttpRequest {
    std::string method;
    std::string target;
    std::string host;  // the Host header
    std::string body;
};

struct HttpReply {
    int status = 200;
    std::string contentType = "text/plain";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string logNote;  // what the access log adds about the decision
};

// A plain-text error reply: the message and a line break.
HttpReply errorReply(int status, const std::string& message);
// 503 for a store that failed (`what`: "index", "catalogue", "store"), to be tried again shortly.
HttpReply storeFailure(const std::string& what, const std::string& error);

// What the service answers. Small answers (health, album art, refusals) come straight from
// answer() on the event loop; identification is CPU work for the pool, started by
// identify() once prepare() has accepted the request.
class RequestRouter {
public:
    RequestRouter(Catalog& catalog, Index& index, const ServiceOptions& options, MatchParams match);

    void setPort(int port) { port_ = port; }
    // True for the identification endpoint, whose work goes to the pool.
    bool isIdentification(const std::string& method, const std::string& target) const;
    // True for the requests that read a store (health, album art): they are answered off the
    // event loop, since a store on other machines may be slow to answer.
    bool readsStore(const std::string& method, const std::string& target) const;
    // Everything but identification.
    HttpReply answer(const HttpRequest& request) const;
    // Checks an identification request's query and body before it is queued: false with the
    // refusal in `reply`.
    bool prepare(const HttpRequest& request, HttpReply& reply) const;
    // The identification itself; safe on any thread.
    HttpReply identify(const HttpRequest& request) const;

private:
    std::string artUrl(const HttpRequest& request, const TrackRecord& track) const;
    HttpReply art(const std::string& path) const;
    HttpReply health() const;

    Catalog& catalog_;
    const ServiceOptions& options_;
    Identifier identifier_;
    int port_ = 0;
    // Counting the catalogue reads every track's row: a stream of health checks must not keep the
    // store busy, so the count is kept for a second. Only the one store-reading thread asks.
    mutable std::string healthText_;
    mutable std::chrono::steady_clock::time_point healthAt_{};
};

}  // namespace melodex::server
