#include "server/cli/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace melodex::server {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM};
// Where the handler writes the signal's number; a write is all it may safely do.
volatile sig_atomic_t gWakeFd = -1;

void onSignal(int signal) {
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = write(gWakeFd, &number, 1);
}

}  // namespace

StopSignals::StopSignals(std::function<void(int)> onStop) {
    if (pipe2(fds_, O_CLOEXEC) != 0) return;
    gWakeFd = fds_[1];
    for (int signal : kStopSignals) std::signal(signal, onSignal);
    waiter_ = std::thread([this, onStop = std::move(onStop)] {
        unsigned char number = 0;
        // Zero (or a closed pipe) is the destructor waking the thread: no signal came.
        while (read(fds_[0], &number, 1) < 0 && errno == EINTR) {
        }
        if (number != 0) onStop(number);
    });
}

StopSignals::~StopSignals() {
    if (waiter_.joinable()) {
        const unsigned char none = 0;
        [[maybe_unused]] const ssize_t n = write(fds_[1], &none, 1);
        waiter_.join();
    }
    for (int signal : kStopSignals) std::signal(signal, SIG_DFL);
    gWakeFd = -1;
    for (int fd : fds_)
        if (fd >= 0) close(fd);
}

}  // namespace melodex::server
