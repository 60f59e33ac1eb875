#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "server/http/connection_limits.h"
#include "server/http/request_router.h"
#include "server/http/service.h"
#include "server/http/work_pool.h"

namespace melodex::server {

// What every connection shares.
struct ServerContext {
    const ServiceOptions& options;
    const RequestRouter& router;
    WorkPool& pool;        // identification
    WorkPool& storeReads;  // health and album art: a store that is slow to answer never stalls the event loop
    WorkPool& streams;     // song pages, streams and conversions, beside identification and never in its way
};

// One client connection on the event loop: reads a request at a time under the limits, answers
// it (identification through the pool) and only then reads the next, so pipelined requests are
// answered in order and a connection never has more than one request in the queue. It holds no
// thread while it waits; silence, slow headers and slow bodies each have their own deadline.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(boost::asio::ip::tcp::socket socket, const ServerContext& server, ConnectionLimits::Slot slot,
               std::string remote);
    void start();

private:
    using Clock = std::chrono::steady_clock;
    using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

    void startRequest();
    void advance();
    void read();
    void onRead(boost::beast::error_code ec, size_t bytes);
    void onTimeout();
    bool checkHeader();
    bool headerWithinLimits(const Parser::value_type& request);
    void refuseParse(boost::beast::error_code ec);
    void sendContinue();
    void dispatch();
    // Runs `answer` on the pool and sends its reply from the event loop; 503 when the pool is full.
    void answerOn(WorkPool& pool, std::function<HttpReply(const RequestRouter&, const HttpRequest&)> answer,
                  HttpRequest request, bool keepAlive);
    void refuse(int status, const std::string& message);
    void finish(HttpReply reply, bool close);
    void sendStream(HttpReply reply, bool close);
    void pumpStream(bool close);
    void sendPiece(std::string piece, bool done, bool close);
    void onWritten(boost::beast::error_code ec, bool close);
    void linger();
    void drain();
    void closeNow();
    void log(const HttpReply& reply) const;

    boost::beast::tcp_stream stream_;
    boost::asio::any_io_executor executor_;
    const ServerContext& server_;
    ConnectionLimits::Slot slot_;
    const std::string remote_;
    boost::asio::steady_timer readTimer_;
    boost::beast::flat_buffer buffer_;
    std::optional<Parser> parser_;
    std::unique_ptr<boost::beast::http::response<boost::beast::http::string_body>> response_;
    std::shared_ptr<BodySource> source_;  // the body being streamed
    std::string piece_;                   // its piece being sent (or the stream's header)

    bool started_ = false;  // the request's first byte is in
    bool timedOut_ = false;
    bool lineEnded_ = false;  // the request line is complete
    bool headerChecked_ = false;
    bool head_ = false;
    Clock::time_point deadline_{};
    Clock::time_point headerDone_{};
    std::string method_ = "-", target_ = "-";
    size_t bodyBytes_ = 0;
    Clock::time_point lingerUntil_{};
    size_t lingerBytes_ = 0;
};

}  // namespace melodex::server
