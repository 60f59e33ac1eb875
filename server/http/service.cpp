#include "server/http/service.h"

#include <httplib.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "server/fingerprint/wav_body.h"
#include "server/http/reply.h"
#include "server/match/identifier.h"

namespace melodex::server {
namespace {

constexpr size_t kMaxOwnerLength = 256;
constexpr const char* kReplyType = "application/octet-stream";

using Clock = std::chrono::steady_clock;
// Set when a request is routed, read by the access log on the same pool thread.
thread_local Clock::time_point requestStart{};

bool isDecimal(const std::string& s) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

bool isPrintable(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    return true;
}

// Only host-name characters make it into URLs we hand out.
bool isSafeHost(const std::string& host) {
    if (host.empty() || host.size() > 255) return false;
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':' && c != '[' && c != ']')
            return false;
    return true;
}

void sendError(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(message + "\n", "text/plain");
}

int statusFor(WavStatus status) {
    switch (status) {
    case WavStatus::NotWav:
    case WavStatus::Unsupported: return 415;
    default: return 400;
    }
}

}  // namespace

struct Service::Impl {
    Catalog& catalog;
    Index& index;
    ServiceOptions options;
    Identifier identifier;
    httplib::Server server;
    int port = 0;

    Impl(Catalog& c, Index& i, ServiceOptions o, MatchParams m)
        : catalog(c), index(i), options(std::move(o)), identifier(i, m) {}

    std::string artUrl(const httplib::Request& req, const TrackRecord& track) const {
        if (!track.hasArt) return "null";
        std::string host = req.get_header_value("Host");
        if (!isSafeHost(host)) host = options.host + ":" + std::to_string(port);
        return "http://" + host + "/art/" + std::to_string(track.id) + ".jpg";
    }

    // The body is collected through a content reader so that no content type (curl's default form
    // type included, which the library would otherwise cap at a few kilobytes) changes how it is read.
    void identify(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
        // Whatever is left unread of a refused body must not be taken for the next request.
        const auto refuse = [&](int status, const std::string& message) {
            res.set_header("Connection", "close");
            sendError(res, status, message);
        };
        const std::string declared = req.get_header_value("Content-Length");
        if (!declared.empty() && (declared.size() > 12 || std::strtoull(declared.c_str(), nullptr, 10) > options.maxBodyBytes))
            return refuse(413, "body too large");
        std::string body;
        bool tooLarge = false;
        const bool complete = reader([&](const char* data, size_t length) {
            if (body.size() + length > options.maxBodyBytes) {
                tooLarge = true;
                return false;
            }
            body.append(data, length);
            return true;
        });
        if (tooLarge) return refuse(413, "body too large");
        if (!complete) return refuse(400, "bad request: body could not be read");
        identifyBody(req, body, res);
    }

    void identifyBody(const httplib::Request& req, const std::string& body, httplib::Response& res) {
        if (!req.has_param("id") || !isDecimal(req.get_param_value("id")))
            return sendError(res, 400, "bad request: the query needs a numeric id");
        const std::string owner = req.get_param_value("ownerIdentifier");
        if (!req.has_param("ownerIdentifier") || owner.empty() || owner.size() > kMaxOwnerLength || !isPrintable(owner))
            return sendError(res, 400, "bad request: the query needs an ownerIdentifier");
        if (body.empty()) return sendError(res, 400, "bad request: empty body");
        const WavParse wav = parseWavBody(reinterpret_cast<const uint8_t*>(body.data()), body.size());
        if (wav.status != WavStatus::Ok) return sendError(res, statusFor(wav.status), "bad request: " + wav.message);

        Identification id;
        std::string error;
        if (!identifier.identify(wav.audio, id, error)) return sendError(res, 500, "lookup failed: " + error);
        TrackRecord track;
        bool found = false;
        if (id.match.found && !catalog.find(id.match.track, track, found, error))
            return sendError(res, 500, "catalogue failed: " + error);
        res.status = 200;
        if (found) {
            res.set_content(formatMatchReply(track, artUrl(req, track)), kReplyType);
            res.set_header("X-Match", "track=" + std::to_string(track.id) + " score=" + std::to_string(id.match.score));
        } else {
            res.set_content(formatNoMatchReply(), kReplyType);
            res.set_header("X-Match", "none score=" + std::to_string(id.match.score));
        }
    }

    void art(const httplib::Request& req, httplib::Response& res) {
        const std::string digits = req.matches[1];
        if (!isDecimal(digits)) return sendError(res, 404, "no such picture");
        std::vector<uint8_t> jpeg;
        std::string error;
        if (!catalog.art(static_cast<uint32_t>(std::stoul(digits)), jpeg, error))
            return sendError(res, 500, "catalogue failed: " + error);
        if (jpeg.empty()) return sendError(res, 404, "no such picture");
        res.set_content(std::string(jpeg.begin(), jpeg.end()), "image/jpeg");
        res.set_header("Cache-Control", "max-age=86400");
    }

    void health(httplib::Response& res) {
        uint64_t tracks = 0;
        double seconds = 0;
        std::string error;
        if (!catalog.totals(tracks, seconds, error)) return sendError(res, 503, "catalogue unavailable: " + error);
        res.set_content("ok tracks=" + std::to_string(tracks) + "\n", "text/plain");
    }

    void log(const httplib::Request& req, const httplib::Response& res) {
        if (!options.accessLog) return;
        double ms = -1;
        if (requestStart != Clock::time_point{})
            ms = std::chrono::duration<double, std::milli>(Clock::now() - requestStart).count();
        requestStart = Clock::time_point{};
        const std::string match = res.get_header_value("X-Match");
        char line[1024];
        const std::string length = req.get_header_value("Content-Length");
        std::snprintf(line, sizeof line, "%s \"%s %.200s\" %d in=%.20s out=%zu %.1fms%s%s", req.remote_addr.c_str(),
                      req.method.c_str(), req.target.c_str(), res.status, length.empty() ? "0" : length.c_str(), res.body.size(), ms,
                      match.empty() ? "" : " ", match.c_str());
        options.accessLog(line);
    }

    void routes() {
        server.set_payload_max_length(options.maxBodyBytes);
        server.set_read_timeout(options.readTimeoutSeconds, 0);
        server.set_write_timeout(options.writeTimeoutSeconds, 0);
        server.set_keep_alive_max_count(20);
        // An idle kept-alive connection holds a worker: let it go as soon as a stalled one would.
        server.set_keep_alive_timeout(options.readTimeoutSeconds);
        const int workers = options.workers > 0 ? options.workers : 1;
        server.new_task_queue = [workers] { return new httplib::ThreadPool(static_cast<size_t>(workers)); };
        server.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
            requestStart = Clock::now();
            return httplib::Server::HandlerResponse::Unhandled;
        });
        server.Post("/servlet/QuaverId", [this](const httplib::Request& q, httplib::Response& r,
                                                const httplib::ContentReader& reader) { identify(q, r, reader); });
        server.Get("/servlet/QuaverId", [](const httplib::Request&, httplib::Response& r) {
            r.set_header("Allow", "POST");
            sendError(r, 405, "use POST");
        });
        server.Get(R"(/art/(\d+)\.jpg)", [this](const httplib::Request& q, httplib::Response& r) { art(q, r); });
        server.Get("/health", [this](const httplib::Request&, httplib::Response& r) { health(r); });
        server.set_error_handler([](const httplib::Request&, httplib::Response& r) {
            if (r.body.empty()) r.set_content(std::to_string(r.status) + "\n", "text/plain");
        });
        server.set_exception_handler([](const httplib::Request&, httplib::Response& r, std::exception_ptr) {
            sendError(r, 500, "internal error");
        });
        server.set_logger([this](const httplib::Request& q, const httplib::Response& r) { log(q, r); });
    }
};

Service::Service(Catalog& catalog, Index& index, ServiceOptions options, MatchParams match)
    : impl_(std::make_unique<Impl>(catalog, index, std::move(options), match)) {
    impl_->routes();
}

Service::~Service() { stop(); }

bool Service::bind(std::string& error) {
    if (impl_->options.port == 0) {
        impl_->port = impl_->server.bind_to_any_port(impl_->options.host);
    } else if (impl_->server.bind_to_port(impl_->options.host, impl_->options.port)) {
        impl_->port = impl_->options.port;
    } else {
        impl_->port = -1;
    }
    if (impl_->port <= 0) {
        error = "cannot listen on " + impl_->options.host + ":" + std::to_string(impl_->options.port);
        return false;
    }
    return true;
}

int Service::port() const { return impl_->port; }

bool Service::run() { return impl_->server.listen_after_bind(); }

void Service::stop() { impl_->server.stop(); }

}  // namespace melodex::server
