#include "server/http/request_router.h"

#include <cctype>
#include <cstdio>

#include "server/fingerprint/resampler.h"
#include "server/fingerprint/wav_body.h"
#include "server/http/query_string.h"
#include "server/http/reply.h"

namespace melodex::server {
namespace {

constexpr size_t kMaxOwnerLength = 256;
constexpr const char* kReplyType = "application/octet-stream";
constexpr const char* kIdentifyPath = "/servlet/QuaverId";

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

int statusFor(WavStatus status) {
    switch (status) {
    case WavStatus::NotWav:
    case WavStatus::Unsupported: return 415;
    default: return 400;
    }
}

// "/art/<digits>.jpg" gives the digits, anything else nothing.
std::string artDigits(const std::string& path) {
    const std::string prefix = "/art/", suffix = ".jpg";
    if (path.size() <= prefix.size() + suffix.size() || path.compare(0, prefix.size(), prefix) != 0 ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        return {};
    return path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
}

}  // namespace

HttpReply errorReply(int status, const std::string& message) {
    HttpReply reply;
    reply.status = status;
    reply.body = message + "\n";
    return reply;
}

HttpReply storeFailure(const std::string& what, const std::string& error) {
    HttpReply reply = errorReply(503, what + " unavailable: " + error);
    reply.headers.emplace_back("Retry-After", "1");
    return reply;
}

RequestRouter::RequestRouter(Catalog& catalog, Index& index, const ServiceOptions& options, MatchParams match)
    : catalog_(catalog), options_(options), identifier_(index, match) {}

bool RequestRouter::isIdentification(const std::string& method, const std::string& target) const {
    return method == "POST" && parseTarget(target).path == kIdentifyPath;
}

bool RequestRouter::readsStore(const std::string& method, const std::string& target) const {
    const std::string path = parseTarget(target).path;
    return (method == "GET" || method == "HEAD") && (path == "/health" || !artDigits(path).empty());
}

HttpReply RequestRouter::answer(const HttpRequest& request) const {
    const std::string path = parseTarget(request.target).path;
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (path == kIdentifyPath) {
        HttpReply reply = errorReply(405, "use POST");
        reply.headers.emplace_back("Allow", "POST");
        return reply;
    }
    if (get && path == "/health") return health();
    if (get && !artDigits(path).empty()) return art(path);
    return errorReply(404, "not found");
}

bool RequestRouter::prepare(const HttpRequest& request, HttpReply& reply) const {
    const RequestTarget target = parseTarget(request.target);
    if (!target.has("id") || !isDecimal(target.get("id"))) {
        reply = errorReply(400, "bad request: the query needs a numeric id");
        return false;
    }
    const std::string owner = target.get("ownerIdentifier");
    if (owner.empty() || owner.size() > kMaxOwnerLength || !isPrintable(owner)) {
        reply = errorReply(400, "bad request: the query needs an ownerIdentifier");
        return false;
    }
    if (request.body.empty()) {
        reply = errorReply(400, "bad request: empty body");
        return false;
    }
    return true;
}

HttpReply RequestRouter::identify(const HttpRequest& request) const {
    const WavParse wav = parseWavBody(reinterpret_cast<const uint8_t*>(request.body.data()), request.body.size());
    if (wav.status != WavStatus::Ok) return errorReply(statusFor(wav.status), "bad request: " + wav.message);
    std::vector<float> mono;
    std::string error;
    if (!toFingerprintRate(wav.audio, mono, error)) return errorReply(500, "cannot read the audio: " + error);
    // Past this point only a store can fail: a failing store is no answer at all, never a "not
    // found" the client would show.
    Identification id;
    if (!identifier_.identify(mono, id, error)) return storeFailure("index", error);
    TrackRecord track;
    bool found = false;
    if (id.match.found && !catalog_.find(id.match.track, track, found, error)) return storeFailure("catalogue", error);
    HttpReply reply;
    reply.contentType = kReplyType;
    if (found) {
        reply.body = replyFor(request, track, id);
        reply.logNote = "track=" + std::to_string(track.id) + " " + describeDecision(id);
    } else {
        reply.body = formatNoMatchReply();
        reply.logNote = "none best=" + std::to_string(id.match.track) + " " + describeDecision(id);
    }
    // Track ids and scores are for the operator, not for every client.
    if (options_.debugHeaders) reply.headers.emplace_back("X-Match", reply.logNote);
    return reply;
}

std::string RequestRouter::baseUrl(const HttpRequest& request) const {
    std::string host = request.host;
    if (!isSafeHost(host)) host = options_.host + ":" + std::to_string(port_);
    return "http://" + host;
}

std::string RequestRouter::artUrl(const HttpRequest& request, const TrackRecord& track) const {
    if (!track.hasArt) return "null";
    return baseUrl(request) + "/art/" + std::to_string(track.id) + ".jpg";
}

// The reply for a found track, with the song pages' links; the identification goes into the
// phone's history.
std::string RequestRouter::replyFor(const HttpRequest& request, const TrackRecord& track, const Identification& id) const {
    if (!pages_) return formatMatchReply(track, artUrl(request, track));
    const std::string owner = parseTarget(request.target).get("ownerIdentifier");
    TrackRecord shown = track;
    shown.links = pages_->links(track, id.offsetSeconds, owner, baseUrl(request));
    std::string error;
    // A history that cannot be written loses one line; the phone still gets its answer.
    if (!pages_->remember(owner, track.id, id.match.score, error))
        std::fprintf(stderr, "melodex-server: cannot add to the history: %s\n", error.c_str());
    return formatMatchReply(shown, artUrl(request, shown));
}

bool RequestRouter::isPage(const std::string& target) const {
    return pages_ && pages_->handles(parseTarget(target).path);
}

HttpReply RequestRouter::page(const HttpRequest& request) const { return pages_->answer(request, baseUrl(request)); }

HttpReply RequestRouter::art(const std::string& path) const {
    const std::string digits = artDigits(path);
    if (!isDecimal(digits)) return errorReply(404, "no such picture");
    std::vector<uint8_t> jpeg;
    std::string error;
    if (!catalog_.art(static_cast<uint32_t>(std::stoul(digits)), jpeg, error)) return storeFailure("catalogue", error);
    if (jpeg.empty()) return errorReply(404, "no such picture");
    HttpReply reply;
    reply.contentType = "image/jpeg";
    reply.body.assign(jpeg.begin(), jpeg.end());
    reply.headers.emplace_back("Cache-Control", "max-age=86400");
    return reply;
}

HttpReply RequestRouter::health() const {
    const auto now = std::chrono::steady_clock::now();
    if (healthText_.empty() || now - healthAt_ > std::chrono::seconds(1)) {
        uint64_t tracks = 0;
        double seconds = 0;
        std::string state, error;
        if (!catalog_.state(state)) return storeFailure("store", state);
        if (!catalog_.totals(tracks, seconds, error)) return storeFailure("catalogue", error);
        healthText_ = "ok tracks=" + std::to_string(tracks) + (state.empty() ? "" : " " + state) + "\n";
        healthAt_ = now;
    }
    HttpReply reply;
    reply.body = healthText_;
    return reply;
}

}  // namespace melodex::server
