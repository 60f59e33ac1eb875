#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

namespace melodex::server {

// Counts open connections in all and per client address. A slot is taken when a connection is
// accepted and given back when it closes, from whichever thread lets it go.
class ConnectionLimits {
public:
    ConnectionLimits(int maxTotal, int maxPerAddress) : maxTotal_(maxTotal), maxPerAddress_(maxPerAddress) {}

    class Slot {
    public:
        Slot() = default;
        Slot(ConnectionLimits* owner, std::string address) : owner_(owner), address_(std::move(address)) {}
        Slot(Slot&& other) noexcept : owner_(other.owner_), address_(std::move(other.address_)) { other.owner_ = nullptr; }
        Slot& operator=(Slot&&) = delete;
        Slot(const Slot&) = delete;
        ~Slot() {
            if (owner_ != nullptr) owner_->release(address_);
        }
        explicit operator bool() const { return owner_ != nullptr; }

    private:
        ConnectionLimits* owner_ = nullptr;
        std::string address_;
    };

    // An empty slot when the address or the service is at its limit.
    Slot acquire(const std::string& address);

private:
    void release(const std::string& address);

    const int maxTotal_;
    const int maxPerAddress_;  // 0: no limit
    std::mutex mutex_;
    int total_ = 0;
    std::unordered_map<std::string, int> perAddress_;
};

}  // namespace melodex::server
