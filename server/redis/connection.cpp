#include "server/redis/connection.h"

#include <hiredis/hiredis.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace melodex::server::redis {
namespace {

timeval toTimeval(std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    return tv;
}

// hiredis parses each reply straight into the caller's Reply (the reader's private data), an
// array's elements into their places in it, rather than into objects of its own that would then
// be copied: a lookup's replies hold megabytes of buckets. A Reply parsed into again is cleared
// of what the new reply does not set. Nothing is freed by hiredis.
Reply* placeOf(const redisReadTask* task, Reply::Type type) {
    Reply* out = static_cast<Reply*>(task->privdata);
    if (task->parent) {
        std::vector<Reply>& elements = static_cast<Reply*>(task->parent->obj)->elements;
        if (task->idx < 0 || static_cast<size_t>(task->idx) >= elements.size()) return nullptr;
        out = &elements[static_cast<size_t>(task->idx)];
    }
    out->type = type;
    if (type != Reply::Type::Array) out->elements.clear();
    if (type == Reply::Type::Array || type == Reply::Type::Integer || type == Reply::Type::Nil) out->string.clear();
    return out;
}

void* createString(const redisReadTask* task, char* text, size_t length) {
    const Reply::Type type = task->type == REDIS_REPLY_STRING   ? Reply::Type::String
                             : task->type == REDIS_REPLY_STATUS ? Reply::Type::Status
                                                                : Reply::Type::Error;
    Reply* out = placeOf(task, type);
    try {
        if (out) out->string.assign(text, length);
    } catch (const std::bad_alloc&) {
        return nullptr;  // hiredis reports it as out of memory
    }
    return out;
}

// The count's type differs between hiredis versions.
template <class Count>
void* createArray(const redisReadTask* task, Count count) {
    Reply* out = placeOf(task, Reply::Type::Array);
    try {
        if (out) out->elements.resize(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return out;
}

void* createInteger(const redisReadTask* task, long long value) {
    Reply* out = placeOf(task, Reply::Type::Integer);
    if (out) out->integer = value;
    return out;
}

void* createNil(const redisReadTask* task) { return placeOf(task, Reply::Type::Nil); }

void freeNothing(void*) {}

redisReplyObjectFunctions* replyFunctions() {
    static redisReplyObjectFunctions functions = [] {
        redisReplyObjectFunctions f{};
        f.createString = createString;
        f.createArray = createArray;
        f.createInteger = createInteger;
        f.createNil = createNil;
        f.freeObject = freeNothing;
        return f;
    }();
    return &functions;
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
    raw->reader->fn = replyFunctions();
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
    context_->reader->privdata = &reply;
    void* parsed = nullptr;
    if (redisGetReply(context_.get(), &parsed) != REDIS_OK || parsed != &reply) {
        error = "no reply from " + formatNode(node_) + ": " + describeFailure();
        return false;
    }
    return true;
}

}  // namespace melodex::server::redis
