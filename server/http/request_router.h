#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/catalog/catalog.h"
#include "server/http/message.h"
#include "server/http/service.h"
#include "server/index/index.h"
#include "server/match/identifier.h"
#include "server/pages/song_pages.h"

namespace melodex::server {

// What the service answers. Small answers (health, album art, refusals) come straight from
// answer() on the event loop; identification is CPU work for the pool, started by
// identify() once prepare() has accepted the request.
class RequestRouter {
public:
    RequestRouter(Catalog& catalog, Index& index, const ServiceOptions& options, MatchParams match);

    void setPort(int port) { port_ = port; }
    // The service's own song pages, linked from every found song's reply; without them a reply
    // carries only the links set with `set`.
    void setPages(std::unique_ptr<SongPages> pages) { pages_ = std::move(pages); }
    // True for the identification endpoint, whose work goes to the pool.
    bool isIdentification(const std::string& method, const std::string& target) const;
    // True for the requests that read a store (health, album art): they are answered off the
    // event loop, since a store on other machines may be slow to answer.
    bool readsStore(const std::string& method, const std::string& target) const;
    // True for a song page, stream or download: answered on the stream threads.
    bool isPage(const std::string& target) const;
    HttpReply page(const HttpRequest& request) const;
    // Everything but identification and the pages.
    HttpReply answer(const HttpRequest& request) const;
    // Checks an identification request's query and body before it is queued: false with the
    // refusal in `reply`.
    bool prepare(const HttpRequest& request, HttpReply& reply) const;
    // The identification itself; safe on any thread.
    HttpReply identify(const HttpRequest& request) const;

private:
    // "http://HOST" from the request's Host, or the address the service listens on.
    std::string baseUrl(const HttpRequest& request) const;
    std::string artUrl(const HttpRequest& request, const TrackRecord& track) const;
    std::string replyFor(const HttpRequest& request, const TrackRecord& track, const Identification& id) const;
    HttpReply art(const std::string& path) const;
    HttpReply health() const;

    Catalog& catalog_;
    const ServiceOptions& options_;
    Identifier identifier_;
    int port_ = 0;
    std::unique_ptr<SongPages> pages_;
    // Counting the catalogue reads every track's row: a stream of health checks must not keep the
    // store busy, so the count is kept for a second. Only the one store-reading thread asks.
    mutable std::string healthText_;
    mutable std::chrono::steady_clock::time_point healthAt_{};
};

}  // namespace melodex::server
