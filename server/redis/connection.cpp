#include "server/redis/connection.h"

#include <hiredis/hiredis.h>

#include <cerrno>
#include <cstring>

namespace melodex::server::redis {
namespace {

struct ReplyFree {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};

timeval toTimeval(std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    return tv;
}

Reply copyReply(const redisReply& in) {
    Reply out;
    switch (in.type) {
    case REDIS_REPLY_INTEGER:
        out.type = Reply::Type::Integer;
        out.integer = in.integer;
        break;
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
    case REDIS_REPLY_ERROR:
        out.type = in.type == REDIS_REPLY_STRING ? Reply::Type::String
                   : in.type == REDIS_REPLY_STATUS ? Reply::Type::Status
                                                   : Reply::Type::Error;
        out.string.assign(in.str, in.len);
        break;
    case REDIS_REPLY_ARRAY:
        out.type = Reply::Type::Array;
        out.elements.reserve(in.elements);
        for (size_t i = 0; i < in.elements; ++i) out.elements.push_back(copyReply(*in.element[i]));
        break;
    default:
        out.type = Reply::Type::Nil;
    }
    return out;
}

}  // namespace

void Connection::ContextFree::operator()(redisContext* context) const { redisFree(context); }

Connection::Connection(const Node& node, std::chrono::milliseconds timeout, redisContext* context)
    : node_(node), timeout_(timeout), context_(context) {}

Connection::~Connection() = default;

std::unique_ptr<Connection> Connection::open(const Node& node, std::chrono::milliseconds timeout, std::string& error) {
    redisContext* raw = redisConnectWithTimeout(node.host.c_str(), node.port, toTimeval(timeout));
    if (!raw) {
        error = "cannot connect to " + formatNode(node) + ": out of memory";
        return nullptr;
    }
    std::unique_ptr<Connection> connection(new Connection(node, timeout, raw));
    if (raw->err) {
        error = "cannot connect to " + formatNode(node) + ": " + connection->describeFailure();
        return nullptr;
    }
    if (redisSetTimeout(raw, toTimeval(timeout)) != REDIS_OK) {
        error = "cannot set a time-out on the connection to " + formatNode(node);
        return nullptr;
    }
    return connection;
}

std::string Connection::describeFailure() const {
    const redisContext* c = context_.get();
    if (c->err == REDIS_ERR_IO && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS || errno == ETIMEDOUT))
        return "no answer within " + std::to_string(timeout_.count()) + " ms";
    if (c->err == REDIS_ERR_EOF) return "the node closed the connection";
    return c->errstr[0] ? std::string(c->errstr) : std::string(std::strerror(errno));
}

bool Connection::send(const std::vector<const Command*>& commands, std::string& error) {
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (const Command* command : commands) {
        argv.clear();
        lengths.clear();
        for (const std::string& argument : *command) {
            argv.push_back(argument.data());
            lengths.push_back(argument.size());
        }
        if (redisAppendCommandArgv(context_.get(), static_cast<int>(argv.size()), argv.data(), lengths.data()) != REDIS_OK) {
            error = "cannot queue a command for " + formatNode(node_) + ": " + describeFailure();
            return false;
        }
    }
    int done = 0;
    while (!done) {
        if (redisBufferWrite(context_.get(), &done) != REDIS_OK) {
            error = "cannot send to " + formatNode(node_) + ": " + describeFailure();
            return false;
        }
    }
    return true;
}

bool Connection::receive(Reply& reply, std::string& error) {
    void* raw = nullptr;
    if (redisGetReply(context_.get(), &raw) != REDIS_OK || !raw) {
        error = "no reply from " + formatNode(node_) + ": " + describeFailure();
        return false;
    }
    const std::unique_ptr<redisReply, ReplyFree> owned(static_cast<redisReply*>(raw));
    reply = copyReply(*owned);
    return true;
}

}  // namespace melodex::server::redis
