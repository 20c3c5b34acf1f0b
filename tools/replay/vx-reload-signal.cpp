// The thread that takes SIGHUP.
#include "vx-reload-signal.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

sigset_t ReloadSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

vxReloadSignal::vxReloadSignal()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    wake_read = fds[0];
    wake_write = fds[1];
    sigset_t set = ReloadSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    taker = std::thread([this] { Run(); });
}

vxReloadSignal::~vxReloadSignal()
{
    stopping = true;
    // Wakes the taker's sigwait; it sees stopping and returns.
    ::pthread_kill(taker.native_handle(), SIGHUP);
    taker.join();
    ::close(wake_read);
    ::close(wake_write);
}

void vxReloadSignal::Run()
{
    const sigset_t set = ReloadSignals();
    for (;;) {
        int signal = 0;
        if (::sigwait(&set, &signal) != 0) continue;
        if (stopping) return;
        // The byte before the count: Take empties the pipe only once it has
        // seen a count, so no byte is left behind to keep a poll awake.
        char byte = 0;
        // A full pipe is awake already.
        [[maybe_unused]] ssize_t ignored = ::write(wake_write, &byte, 1);
        pending++;
    }
}

bool vxReloadSignal::Take()
{
    if (pending.load() == 0) return false;
    // The pipe is emptied before the count is taken. A request whose byte
    // this swallows before its count shows is served at the next call (at
    // most the capture's one-second wait later).
    char bytes[64];
    while (::read(wake_read, bytes, sizeof(bytes)) > 0) {
    }
    unsigned count = pending.load();
    while (count > 0)
        if (pending.compare_exchange_weak(count, count - 1)) return true;
    return false;
}
