#include "server/http/connection_limits.h"

namespace melodex::server {

ConnectionLimits::Slot ConnectionLimits::acquire(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (total_ >= maxTotal_) return {};
    const auto it = perAddress_.find(address);
    if (maxPerAddress_ > 0 && it != perAddress_.end() && it->second >= maxPerAddress_) return {};
    ++perAddress_[address];
    ++total_;
    return {this, address};
}

void ConnectionLimits::release(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    --total_;
    const auto it = perAddress_.find(address);
    if (it != perAddress_.end() && --it->second <= 0) perAddress_.erase(it);
}

}  // namespace melodex::server
