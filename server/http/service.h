#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "server/catalog/catalog.h"
#include "server/index/index.h"
#include "server/match/matcher.h"

namespace melodex::server {

struct ServiceOptions {
    std::string host = "127.0.0.1";
    int port = 8017;  // 0: any free port
    int workers = 8;  // requests handled at once; further connections wait their turn
    size_t maxBodyBytes = size_t{1} << 20;
    int readTimeoutSeconds = 10;  // a client that stalls longer is dropped
    int writeTimeoutSeconds = 10;
    std::function<void(const std::string&)> accessLog;  // one line a request
};

// The HTTP face of the service: POST /servlet/QuaverId, GET /art/<id>.jpg and GET /health.
class Service {
public:
    Service(Catalog& catalog, Index& index, ServiceOptions options, MatchParams match = {});
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

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
