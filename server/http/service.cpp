#include "server/http/service.h"

#include <sys/resource.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <thread>

#include "server/http/connection.h"
#include "server/http/connection_limits.h"
#include "server/http/request_router.h"
#include "server/http/work_pool.h"

namespace melodex::server {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// The stream threads' nice value: identification comes first on a busy machine.
constexpr int kStreamNiceness = 10;

// Sent, without reading anything, to a connection over the limits.
constexpr char kTooManyConnections[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 21\r\n"
    "Retry-After: 1\r\nConnection: close\r\n\r\ntoo many connections\n";

int workerCount(int requested) {
    if (requested > 0) return requested;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? static_cast<int>(cores) : 1;
}

// Every connection is a descriptor: make sure the process may hold as many as it accepts.
void raiseDescriptorLimit(int connections) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t wanted = static_cast<rlim_t>(connections) + 64;
    if (limit.rlim_cur >= wanted) return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

struct Service::Impl {
    ServiceOptions options;
    // Before the event loop: connections still pending in it give their slots back when it goes.
    ConnectionLimits limits;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer acceptPause{io};
    RequestRouter router;
    // After the event loop: queued jobs hold connections, which must go while it is still there.
    WorkPool pool;
    // One thread: the health count it keeps is not shared, and store reads are short.
    WorkPool storeReads;
    // At low priority: listeners of full songs take what identification leaves.
    WorkPool streams;
    ServerContext context{options, router, pool, storeReads, streams};
    Catalog& catalog;
    PageStore* pageStore;
    int port = 0;

    Impl(Catalog& c, Index& index, ServiceOptions o, MatchParams match, PageStore* pages)
        : options(std::move(o)),
          limits(options.maxConnections, options.maxPerAddress),
          router(c, index, options, match),
          pool(workerCount(options.workers), options.queueLength, options.queueSeconds),
          storeReads(1, options.queueLength, options.queueSeconds),
          streams(options.streamThreads, options.queueLength, options.queueSeconds, kStreamNiceness),
          catalog(c),
          pageStore(pages) {}

    bool startPages(std::string& error) {
        if (pageStore == nullptr) return true;
        std::string key;
        if (!pageStore->linkKey(key, error)) {
            error = "cannot read the key that signs the song pages: " + error;
            return false;
        }
        router.setPages(std::make_unique<SongPages>(catalog, *pageStore, key, options.pages));
        return true;
    }

    bool bind(std::string& error) {
        if (!startPages(error)) return false;
        error = "cannot listen on " + options.host + ":" + std::to_string(options.port);
        boost::system::error_code ec;
        tcp::resolver resolver(io);
        const auto endpoints = resolver.resolve(options.host, std::to_string(options.port),
                                                tcp::resolver::numeric_service | tcp::resolver::passive, ec);
        if (ec || endpoints.empty()) return false;
        const tcp::endpoint endpoint = *endpoints.begin();
        acceptor.open(endpoint.protocol(), ec);
        if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) acceptor.bind(endpoint, ec);
        if (!ec) acceptor.listen(options.backlog, ec);
        if (ec) {
            acceptor.close(ec);
            return false;
        }
        port = acceptor.local_endpoint(ec).port();
        router.setPort(port);
        raiseDescriptorLimit(options.maxConnections);
        error.clear();
        return true;
    }

    void accept() {
        acceptor.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted) return;
            if (ec) {
                // Out of descriptors or memory: let closing connections make room, then go on.
                acceptPause.expires_after(std::chrono::milliseconds(50));
                acceptPause.async_wait([this](boost::system::error_code waitError) {
                    if (!waitError) accept();
                });
                return;
            }
            admit(std::move(socket));
            accept();
        });
    }

    void admit(tcp::socket socket) {
        boost::system::error_code ec;
        const tcp::endpoint remote = socket.remote_endpoint(ec);
        if (ec) return;
        const std::string address = remote.address().to_string();
        ConnectionLimits::Slot slot = limits.acquire(address);
        if (!slot) {
            // One small write into an empty socket buffer does not block; whatever happens, close.
            socket.non_blocking(true, ec);
            socket.send(asio::buffer(kTooManyConnections, sizeof kTooManyConnections - 1), 0, ec);
            socket.shutdown(tcp::socket::shutdown_both, ec);
            return;
        }
        std::make_shared<Connection>(std::move(socket), context, std::move(slot), address)->start();
    }
};

Service::Service(Catalog& catalog, Index& index, ServiceOptions options, MatchParams match, PageStore* pages)
    : impl_(std::make_unique<Impl>(catalog, index, std::move(options), match, pages)) {}

Service::~Service() { stop(); }

bool Service::bind(std::string& error) { return impl_->bind(error); }

int Service::port() const { return impl_->port; }

bool Service::run() {
    if (!impl_->acceptor.is_open()) return false;
    impl_->accept();
    impl_->io.run();
    return true;
}

void Service::stop() { impl_->io.stop(); }

}  // namespace melodex::server
