#include "util/splice_pipe.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <utility>

bool SplicePipe::Open() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    UniqueFd rd(fds[0]);
    UniqueFd wr(fds[1]);
    const int size = fcntl(fds[1], F_GETPIPE_SZ);
    if (size < 0) return false;
    if (static_cast<size_t>(size) < kCapacity &&
        fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(kCapacity)) < static_cast<int>(kCapacity)) {
        return false;
    }
    rd_ = std::move(rd);
    wr_ = std::move(wr);
    return true;
}

ssize_t SplicePipe::FillFrom(int fd, size_t len) {
    for (;;) {
        const ssize_t n = splice(fd, nullptr, wr_.get(), nullptr, len, SPLICE_F_MOVE);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

size_t SplicePipe::Drain(void* dest, size_t len) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = read(rd_.get(), static_cast<char*>(dest) + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

size_t SplicePipe::Held() const { return PipeHeld(rd_.get()); }

size_t PipeHeld(int pipe_rd) {
    int n = 0;
    return ioctl(pipe_rd, FIONREAD, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

ssize_t SplicePipeToSocket(int pipe_rd, int sock, size_t len) {
    // splice has no MSG_NOSIGNAL: the process ignores SIGPIPE from its first
    // spliced send on (every other send passes MSG_NOSIGNAL, so nothing
    // relies on the signal).
    static bool sigpipe_ignored = false;
    if (!sigpipe_ignored) {
        signal(SIGPIPE, SIG_IGN);
        sigpipe_ignored = true;
    }
    for (;;) {
        const ssize_t n = splice(pipe_rd, nullptr, sock, nullptr, len, SPLICE_F_MOVE);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}
