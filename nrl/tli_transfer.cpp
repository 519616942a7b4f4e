// Whole-buffer transfer loops, the send-size query and the result trace.
#include <algorithm>
#include <cerrno>

#include "nrl/nrl_trace.h"
#include "nrl/tli.h"

unsigned loop_t_snd(int fd, const void* buf, unsigned len, unsigned largest_piece) {
    const auto* p = static_cast<const unsigned char*>(buf);
    unsigned left = len;
    while (left > 0) {
        int n = t_snd_v(fd, p, std::min(left, largest_piece), 0);
        check_tli("snd", fd, n);
        if (n <= 0) break;
        p += n;
        left -= static_cast<unsigned>(n);
    }
    return left;
}

unsigned loop_t_sndv(int fd, iovec* iov, int count, bool more) {
    unsigned left = 0;
    for (int i = 0; i < count; ++i) left += static_cast<unsigned>(iov[i].iov_len);
    while (left > 0) {
        // Empty pieces ahead are skipped so that every call moves bytes.
        while (count > 0 && iov->iov_len == 0) {
            ++iov;
            --count;
        }
        int n = t_sndv_v(fd, iov, count, more);
        check_tli("snd", fd, n);
        if (n <= 0) break;
        left -= static_cast<unsigned>(n);
        auto moved = static_cast<size_t>(n);
        while (moved > 0) {
            size_t step = std::min(moved, iov->iov_len);
            iov->iov_base = static_cast<unsigned char*>(iov->iov_base) + step;
            iov->iov_len -= step;
            moved -= step;
            if (iov->iov_len == 0 && moved > 0) {
                ++iov;
                --count;
            }
        }
    }
    return left;
}

unsigned loop_t_splice(int fd, int pipe_rd, unsigned len) {
    unsigned left = len;
    while (left > 0) {
        int n = t_splice_v(fd, pipe_rd, left);
        check_tli("snd", fd, n);
        if (n <= 0) break;
        left -= static_cast<unsigned>(n);
    }
    return left;
}

unsigned loop_t_rcv(int fd, void* buf, unsigned len) {
    auto* p = static_cast<unsigned char*>(buf);
    unsigned left = len;
    while (left > 0) {
        int n = t_rcv_v(fd, p, left);
        check_tli("rcv", fd, n);
        if (n <= 0) break;
        p += n;
        left -= static_cast<unsigned>(n);
    }
    return left;
}

int MaxTLISend(int fd) {
    t_info info{};
    int result;
    if (t_getinfo_v(fd, &info) < 0) {
        NRL_TRACE("t_getinfo_v failed.  t_errno = %d\n", t_errno);
        result = 0;
    } else if (info.tsdu == 0 || info.tsdu == -1) {
        result = kMaxTliSend;
    } else {
        result = info.tsdu;
    }
    NRL_TRACE("Max TLI send is 0x%X\n", static_cast<unsigned>(result));
    return result;
}

void check_tli(const char* tag, int fd, int result) {
    if (nrl_debug_flag == 0) return;
    int err = errno;
    nrl_trace("tli %s ", tag);
    nrl_trace("rc=%d ", result);
    nrl_trace("tlifd=%d ", fd);
    if (result < 0) {
        if (t_errno == TSYSERR)
            nrl_trace("errno=%d ", err);
        else if (t_errno == TLOOK)
            nrl_trace("t_look_v=%d ", t_look_v(fd));
        else
            nrl_trace("t_errno=%d ", t_errno);
    }
    nrl_trace("\n");
    errno = err;
}
