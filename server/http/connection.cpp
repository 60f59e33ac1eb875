#include "server/http/connection.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/read_size.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace melodex::server {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr size_t kReadChunk = 16384;
// After a refusal the socket is drained this long (and this much, discarded) before it is
// closed, so that the client reads the refusal instead of a reset.
constexpr auto kLingerTime = std::chrono::seconds(1);
constexpr size_t kLingerBytes = size_t{4} << 20;
constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";

// Whether the last `bytes` bytes of the buffer hold a line end.
bool endsALine(const beast::flat_buffer& buffer, size_t bytes) {
    const auto data = buffer.data();
    const char* end = static_cast<const char*>(data.data()) + data.size();
    return std::find(end - bytes, end, '\n') != end;
}

HttpReply busyReply(int retryAfterSeconds) {
    HttpReply busy = errorReply(503, "busy: try again later");
    busy.headers.emplace_back("Retry-After", std::to_string(retryAfterSeconds));
    return busy;
}

}  // namespace

Connection::Connection(tcp::socket socket, const ServerContext& server, ConnectionLimits::Slot slot, std::string remote)
    : stream_(std::move(socket)),
      executor_(stream_.get_executor()),
      server_(server),
      slot_(std::move(slot)),
      remote_(std::move(remote)),
      readTimer_(executor_),
      buffer_(server.options.maxHeaderBytes + kReadChunk) {}

void Connection::start() { startRequest(); }

void Connection::startRequest() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.options.maxHeaderBytes));
    parser_->body_limit(server_.options.maxBodyBytes);
    headerChecked_ = false;
    head_ = false;
    headerDone_ = {};
    method_ = target_ = "-";
    bodyBytes_ = 0;
    // An idle connection keeps no read buffer; pipelined bytes already here start the next
    // request's header deadline now.
    if (buffer_.size() == 0) buffer_.shrink_to_fit();
    started_ = buffer_.size() > 0;
    lineEnded_ = endsALine(buffer_, buffer_.size());
    if (started_) deadline_ = Clock::now() + std::chrono::seconds(server_.options.headerTimeoutSeconds);
    advance();
}

// Parses what is buffered and reads more only when the parser needs it.
void Connection::advance() {
    while (buffer_.size() > 0 && !parser_->is_done()) {
        beast::error_code ec;
        const size_t used = parser_->put(buffer_.data(), ec);
        buffer_.consume(used);
        if (ec == http::error::need_more) break;
        if (ec) return refuseParse(ec);
        if (parser_->is_header_done() && !headerChecked_) {
            headerChecked_ = true;
            if (!checkHeader()) return;
            deadline_ = Clock::now() + std::chrono::seconds(server_.options.bodyTimeoutSeconds);
            const auto expect = parser_->get().find(http::field::expect);
            if (expect != parser_->get().end() && !parser_->is_done() && buffer_.size() == 0) return sendContinue();
        }
    }
    if (parser_->is_done()) return dispatch();
    read();
}

void Connection::read() {
    auto wait = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(server_.options.readTimeoutSeconds));
    if (started_) wait = std::min(wait, deadline_ - Clock::now());
    if (wait <= Clock::duration::zero()) return onTimeout();
    const size_t room = beast::read_size(buffer_, kReadChunk);
    if (room == 0) return refuse(431, "request header fields too large");
    // Our own timer rather than the stream's: a stream that times out closes its socket, and a
    // client stuck inside a request is owed a 408.
    stream_.expires_never();
    readTimer_.expires_after(wait);
    readTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (ec) return;
        self->timedOut_ = true;
        beast::error_code ignored;
        self->stream_.socket().cancel(ignored);
    });
    stream_.async_read_some(buffer_.prepare(room), [self = shared_from_this()](beast::error_code ec, size_t bytes) {
        self->onRead(ec, bytes);
    });
}

void Connection::onRead(beast::error_code ec, size_t bytes) {
    readTimer_.cancel();
    buffer_.commit(bytes);
    if (ec == asio::error::operation_aborted && timedOut_) return onTimeout();
    timedOut_ = false;
    if (!lineEnded_) lineEnded_ = endsALine(buffer_, bytes);
    // The end of the stream, a reset or the service stopping: nothing is owed to the client.
    if (ec) return closeNow();
    if (!started_) {
        started_ = true;
        deadline_ = Clock::now() + std::chrono::seconds(server_.options.headerTimeoutSeconds);
    }
    advance();
}

void Connection::onTimeout() {
    // A kept-alive connection that stays silent just ends; one stuck inside a request is told.
    if (!started_) return closeNow();
    refuse(408, "request timeout");
}

bool Connection::checkHeader() {
    const Parser::value_type& request = parser_->get();
    method_ = std::string(request.method_string());
    target_ = std::string(request.target());
    headerDone_ = Clock::now();
    head_ = request.method() == http::verb::head;
    if (!headerWithinLimits(request)) return false;
    const bool hasLength = request.find(http::field::content_length) != request.end();
    const bool hasCoding = request.find(http::field::transfer_encoding) != request.end();
    // Two framings, or one we cannot follow, would let a proxy and this server disagree on where
    // the next request starts.
    if (hasLength && hasCoding) {
        refuse(400, "bad request: both Transfer-Encoding and Content-Length");
        return false;
    }
    if (hasCoding && !parser_->chunked()) {
        refuse(501, "only the chunked transfer coding is accepted");
        return false;
    }
    if (request.method() == http::verb::post && !hasLength && !hasCoding) {
        refuse(411, "length required");
        return false;
    }
    const auto expect = request.find(http::field::expect);
    if (expect != request.end() && !beast::iequals(expect->value(), "100-continue")) {
        refuse(417, "expectation failed");
        return false;
    }
    int retryAfter = 0;
    if (server_.router.isIdentification(method_, target_) && !server_.pool.wouldAccept(retryAfter)) {
        finish(busyReply(retryAfter), true);
        return false;
    }
    return true;
}

bool Connection::headerWithinLimits(const Parser::value_type& request) {
    const ServiceOptions& o = server_.options;
    if (target_.size() > o.maxRequestLine) {
        refuse(414, "request target too long");
        return false;
    }
    size_t count = 0;
    for (const auto& field : request) {
        // name, ": ", value
        if (++count > o.maxHeaderCount || field.name_string().size() + 2 + field.value().size() > o.maxHeaderLine) {
            refuse(431, "request header fields too large");
            return false;
        }
    }
    return true;
}

void Connection::refuseParse(beast::error_code ec) {
    if (ec == http::error::body_limit) return refuse(413, "body too large");
    if (ec == http::error::header_limit) {
        // Still inside the request line when the limit struck: it is the target that is too long.
        return lineEnded_ ? refuse(431, "request header fields too large") : refuse(414, "request target too long");
    }
    refuse(400, "bad request: " + ec.message());
}

void Connection::sendContinue() {
    stream_.expires_after(std::chrono::seconds(server_.options.writeTimeoutSeconds));
    asio::async_write(stream_, asio::buffer(kContinue, sizeof kContinue - 1),
                      [self = shared_from_this()](beast::error_code ec, size_t) {
                          if (ec) return self->closeNow();
                          self->advance();
                      });
}

void Connection::dispatch() {
    Parser::value_type message = parser_->release();
    const bool keepAlive = message.keep_alive();
    HttpRequest request{method_, target_, std::string(message[http::field::host]), std::move(message.body()),
                        std::string(message[http::field::range])};
    bodyBytes_ = request.body.size();
    const RequestRouter& router = server_.router;
    if (router.isIdentification(request.method, request.target)) {
        HttpReply refusal;
        if (!router.prepare(request, refusal)) return finish(std::move(refusal), true);
        return answerOn(server_.pool, [](const RequestRouter& r, const HttpRequest& q) { return r.identify(q); },
                        std::move(request), keepAlive);
    }
    if (router.isPage(request.target))
        return answerOn(server_.streams, [](const RequestRouter& r, const HttpRequest& q) { return r.page(q); },
                        std::move(request), keepAlive);
    if (router.readsStore(request.method, request.target))
        return answerOn(server_.storeReads, [](const RequestRouter& r, const HttpRequest& q) { return r.answer(q); },
                        std::move(request), keepAlive);
    HttpReply reply = router.answer(request);
    const bool close = !keepAlive || reply.status >= 400;
    finish(std::move(reply), close);
}

void Connection::answerOn(WorkPool& pool, std::function<HttpReply(const RequestRouter&, const HttpRequest&)> answer,
                          HttpRequest request, bool keepAlive) {
    auto job = [self = shared_from_this(), answer = std::move(answer), request = std::move(request), keepAlive] {
        HttpReply reply = answer(self->server_.router, request);
        asio::post(self->executor_, [self, reply = std::move(reply), keepAlive]() mutable {
            const bool close = !keepAlive || reply.status >= 400;
            self->finish(std::move(reply), close);
        });
    };
    int retryAfter = 0;
    if (!pool.trySubmit(std::move(job), retryAfter)) finish(busyReply(retryAfter), true);
}

void Connection::refuse(int status, const std::string& message) {
    bodyBytes_ = parser_ && parser_->is_header_done() ? parser_->get().body().size() : 0;
    finish(errorReply(status, message), true);
}

void Connection::finish(HttpReply reply, bool close) {
    if (reply.stream) return sendStream(std::move(reply), close);
    log(reply);
    response_ = std::make_unique<http::response<http::string_body>>(static_cast<http::status>(reply.status), 11);
    http::response<http::string_body>& res = *response_;
    res.set(http::field::content_type, reply.contentType);
    for (const auto& [name, value] : reply.headers) res.set(name, value);
    res.keep_alive(!close);
    if (head_) {
        res.content_length(reply.body.size());
    } else {
        res.body() = std::move(reply.body);
        res.prepare_payload();
    }
    stream_.expires_after(std::chrono::seconds(server_.options.writeTimeoutSeconds));
    http::async_write(stream_, res, [self = shared_from_this(), close](beast::error_code ec, size_t) {
        self->onWritten(ec, close);
    });
}

// The header at once, then the body a piece at a time: each piece is made on a stream thread
// and the next one only once this one is sent, so a slow listener holds no more than a piece.
void Connection::sendStream(HttpReply reply, bool close) {
    log(reply);
    http::response<http::empty_body> res(static_cast<http::status>(reply.status), 11);
    res.set(http::field::content_type, reply.contentType);
    for (const auto& [name, value] : reply.headers) res.set(name, value);
    res.keep_alive(!close);
    res.content_length(reply.streamLength);
    std::ostringstream header;
    header << res.base();
    piece_ = header.str();
    source_ = head_ || reply.streamLength == 0 ? nullptr : std::move(reply.stream);
    stream_.expires_after(std::chrono::seconds(server_.options.writeTimeoutSeconds));
    asio::async_write(stream_, asio::buffer(piece_), [self = shared_from_this(), close](beast::error_code ec, size_t) {
        if (ec || !self->source_) return self->onWritten(ec, close);
        self->pumpStream(close);
    });
}

void Connection::pumpStream(bool close) {
    auto job = [self = shared_from_this(), close] {
        std::string piece, error;
        bool done = false;
        if (!self->source_->next(piece, done, error)) {
            if (self->server_.options.accessLog)
                self->server_.options.accessLog(self->remote_ + " \"" + self->method_ + " " + self->target_.substr(0, 200) +
                                                "\" stream cut short: " + error);
            return asio::post(self->executor_, [self] { self->closeNow(); });
        }
        asio::post(self->executor_, [self, piece = std::move(piece), done, close]() mutable {
            self->sendPiece(std::move(piece), done, close);
        });
    };
    int retryAfter = 0;
    // Refused mid-stream, the browser asks again for the rest.
    if (!server_.streams.trySubmit(std::move(job), retryAfter)) closeNow();
}

void Connection::sendPiece(std::string piece, bool done, bool close) {
    piece_ = std::move(piece);
    stream_.expires_after(std::chrono::seconds(server_.options.writeTimeoutSeconds));
    asio::async_write(stream_, asio::buffer(piece_), [self = shared_from_this(), done, close](beast::error_code ec, size_t) {
        if (ec || done) {
            self->source_.reset();
            return self->onWritten(ec, close);
        }
        self->pumpStream(close);
    });
}

void Connection::onWritten(beast::error_code ec, bool close) {
    response_.reset();
    piece_.clear();
    piece_.shrink_to_fit();
    if (ec) return closeNow();
    if (close) return linger();
    startRequest();
}

void Connection::linger() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    parser_.reset();
    buffer_.clear();
    buffer_.shrink_to_fit();
    lingerUntil_ = Clock::now() + kLingerTime;
    lingerBytes_ = 0;
    drain();
}

// Reads and forgets until the client closes, the linger time is over or enough has come in.
void Connection::drain() {
    stream_.expires_at(lingerUntil_);
    const size_t room = std::min<size_t>(4096, buffer_.max_size());
    stream_.async_read_some(buffer_.prepare(room), [self = shared_from_this()](beast::error_code ec, size_t bytes) {
        self->buffer_.clear();
        self->lingerBytes_ += bytes;
        if (ec || self->lingerBytes_ > kLingerBytes) return self->closeNow();
        self->drain();
    });
}

void Connection::closeNow() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
}

void Connection::log(const HttpReply& reply) const {
    if (!server_.options.accessLog) return;
    const double ms =
        headerDone_ == Clock::time_point{} ? 0.0 : std::chrono::duration<double, std::milli>(Clock::now() - headerDone_).count();
    const size_t out = reply.stream ? static_cast<size_t>(reply.streamLength) : reply.body.size();
    char line[1024];
    std::snprintf(line, sizeof line, "%s \"%s %.200s\" %d in=%zu out=%zu %.1fms%s%s", remote_.c_str(), method_.c_str(),
                  target_.c_str(), reply.status, bodyBytes_, out, ms, reply.logNote.empty() ? "" : " ",
                  reply.logNote.c_str());
    server_.options.accessLog(line);
}

}  // namespace melodex::server
