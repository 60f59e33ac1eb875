#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "server/catalog/catalog.h"
#include "server/catalog/page_store.h"
#include "server/index/index.h"
#include "server/match/matcher.h"
#include "server/pages/song_pages.h"

namespace melodex::server {

// What one client may cost the service. Connections are served by one event loop and cost no
// thread while idle or trickling; identification runs on `workers` threads fed by a bounded queue.
struct ServiceOptions {
    std::string host = "127.0.0.1";
    int port = 8017;  // 0: any free port
    int workers = 0;  // identification threads; 0: one per core
    size_t maxBodyBytes = size_t{1} << 20;
    int readTimeoutSeconds = 10;    // longest silence: before a request, or between its bytes
    int headerTimeoutSeconds = 10;  // a request's line and headers, in all, from its first byte
    int bodyTimeoutSeconds = 30;    // a request's body, in all, from the end of its headers
    int writeTimeoutSeconds = 10;   // a reply, in all
    size_t maxRequestLine = 8192;   // longer: 414
    size_t maxHeaderLine = 8192;    // one header line longer: 431
    size_t maxHeaderCount = 100;    // more header lines: 431
    size_t maxHeaderBytes = 32768;  // the whole header longer: 431
    int maxConnections = 2048;      // open connections in all; more are refused with 503
    int maxPerAddress = 256;        // open connections from one client address (0: no limit)
    int backlog = 511;              // connections the kernel holds before they are accepted
    double queueSeconds = 5.0;      // identification work waiting beyond this: 503 at once
    size_t queueLength = 512;       // identification requests waiting, at most
    bool debugHeaders = false;      // X-Match with the track id and score in identification replies
    PageOptions pages;              // which song pages are offered (with a page store)
    int streamThreads = 2;          // threads for the pages, streams and conversions, at low priority
    std::function<void(const std::string&)> accessLog;  // one line a request
};

// The HTTP face of the service: POST /servlet/QuaverId, GET /art/<id>.jpg, GET /health and, given
// a page store, the song pages its replies link to.
class Service {
public:
    Service(Catalog& catalog, Index& index, ServiceOptions options, MatchParams match = {}, PageStore* pages = nullptr);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Listens; with a page store, first reads (or makes) the key that signs the pages' addresses.
    bool bind(std::string& error);
    int port() const;
    // Serves until stop(); returns false when the listener failed.
    bool run();
    // Safe from any thread, also before run() starts.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace melodex::server
