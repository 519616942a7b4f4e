// The advertisement process of a local resource: in turn for each receiver,
// connect, send one advertisement, close, and sleep a share of the interval.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <vector>
#ifdef __linux__
#include <dirent.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#endif

#include "nrl/advertise.h"
#include "nrl/nrl_trace.h"
#include "nrl/tli.h"
#include "util/alloc.h"

namespace {

// The advertisement process works with connections of its own. Copies of
// the listener's (its port, connections still opening their sessions, one
// just handed to a session) must not keep those open once their owner has
// closed them: a peer the listener refused or dropped would never see the
// close. Other descriptors (pipes, files) are left alone.
void close_inherited_sockets() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return;
    std::vector<int> found;
    for (;;) {
        const dirent* entry = readdir(dir);
        if (entry == nullptr) break;
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd <= STDERR_FILENO || fd == dirfd(dir)) continue;
        struct stat st{};
        if (fstat(static_cast<int>(fd), &st) == 0 && S_ISSOCK(st.st_mode)) found.push_back(static_cast<int>(fd));
    }
    closedir(dir);
    for (int fd : found) close(fd);
}

// The advertiser must not outlive the process that added the resource,
// even when that process dies without removing it.
void die_with_parent(pid_t parent) {
#ifdef __linux__
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(0);
#else
    (void)parent;
#endif
}

// Sleeps the whole time even when signals arrive.
void sleep_seconds(unsigned seconds) {
    timespec left{static_cast<time_t>(seconds), 0};
    while (nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
}

// Two bytes in the interval pipe become the new interval.
void read_new_interval(NRL_RESOURCE* resource) {
    NRL_TRACE("loop reading adv_rate_pipe\n");
    uint16_t interval = 0;
    uint16_t missing = loop_read(resource->adv_rate_pipe[0], &interval, sizeof interval);
    NRL_TRACE("loop reading adv_rate_pipe returned %d\n", missing);
    if (missing == 0) {
        uw_nrl_def.adv_interval = interval;
        NRL_TRACE("new advertisement rate = %d\n", interval);
    }
}

// With no receivers there is nothing to send: wait for the interval pipe
// instead of passing over an empty list. False once nothing can ever arrive.
bool wait_for_interval(NRL_RESOURCE* resource) {
    pollfd p{resource->adv_rate_pipe[0], POLLIN, 0};
    int rc = poll(&p, 1, -1);
    if (rc < 0) return errno == EINTR;
    if ((p.revents & POLLNVAL) != 0) return false;
    if ((p.revents & POLLIN) != 0) {
        uint16_t interval = 0;
        ssize_t n = read(p.fd, &interval, sizeof interval);
        if (n == static_cast<ssize_t>(sizeof interval)) {
            uw_nrl_def.adv_interval = interval;
            NRL_TRACE("new advertisement rate = %d\n", interval);
            return true;
        }
        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return true;
        return false;  // end of file: every writer is gone
    }
    return (p.revents & (POLLHUP | POLLERR)) == 0;
}

enum class Outcome { kSent, kPaused, kOutOfMemory };

// One advertisement to receiver i. kPaused: the endpoint could not be opened
// or bound and the 30-second pause has been taken.
Outcome advertise_to(NRL_RESOURCE* resource, int i) {
    const char* device = uw_nrl_state.tli_device;
    int fd = t_open_v(device, 2, nullptr);
    check_tli("open", fd, fd);
    if (fd < 0) {
        nrl_error("NRLAdvertisementSender: t_open_v(%s) failed, t_errno=%d\n", device != nullptr ? device : "",
                  t_errno);
        sleep_seconds(kAdvFailurePauseSeconds);
        return Outcome::kPaused;
    }

    auto* bind = static_cast<t_bind*>(t_alloc_v(fd, T_BIND, T_ALL));
    if (bind != nullptr) {
        bind->addr.len = kTliAddrSize;
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        if (uw_nrl_def.force_address != 0) {
            NRL_TRACE("Advertiser attempting specific bind using force_address directive\n");
            sin.sin_addr.s_addr = uw_nrl_def.force_address;
        } else {
            NRL_TRACE("Advertiser binding to all interfaces\n");
            sin.sin_addr.s_addr = htonl(INADDR_ANY);
        }
        std::memcpy(bind->addr.buf, &sin, sizeof sin);
    } else {
        nrl_error("NRLAdvertisementSender: t_alloc_v() for T_BIND failed.  t_errno=%d\n", t_errno);
    }

    int rc = t_bind_v(fd, bind, bind);
    NRL_TRACE("NRLAdvertisementSender: bind returned %d\n", rc);
    NRL_TRACE("address=%s\n", bind != nullptr ? uaddress(&bind->addr) : "");
    check_tli("bind", fd, rc);
    if (rc < 0) {
        nrl_error("NRLAdvertisementSender: t_bind_v(1) failed.  t_errno=%d\n", t_errno);
        t_free_v(bind, T_BIND);
        t_close_v(fd);
        sleep_seconds(kAdvFailurePauseSeconds);
        return Outcome::kPaused;
    }

    // The call record borrows the receiver's address.
    auto* call = static_cast<t_call*>(t_alloc_v(fd, T_CALL, 0));
    if (call == nullptr) {
        nrl_error("NRLAdvertisementSender: Resource advertiser out of memory");
        return Outcome::kOutOfMemory;
    }
    call->addr.maxlen = adv_receivers[i].len;
    call->addr.len = adv_receivers[i].len;
    call->addr.buf = adv_receivers[i].addr;
    call->opt.len = 0;
    call->udata.len = 0;

    netbuf tempaddr{resource->addr_len, resource->addr_len, resource->addr};
    NRL_TRACE("NRLAdvertismentSender: tempaddr=%s\n", uaddress(&tempaddr));
    const char* merged = merged_addr(&tempaddr);
    char* alloc_uaddr = nullptr;
    if (merged != nullptr) {
        alloc_uaddr = static_cast<char*>(MYMALLOC(std::strlen(merged) + 1));
        if (alloc_uaddr != nullptr) std::strcpy(alloc_uaddr, merged);
    }
    if (alloc_uaddr == nullptr) {
        nrl_error("NRLAdvertisementSender: Resource advertiser out of memory2");
        return Outcome::kOutOfMemory;
    }
    NRL_TRACE("NRLAdvertisementSender: 'merged' alloc_uaddr=%s\n", alloc_uaddr);

    const size_t length = AdvertisementLength(resource->rsrc_name, alloc_uaddr, uw_local_host_name);
    auto* message = static_cast<unsigned char*>(MYCALLOC(1, length));
    if (message == nullptr) {
        nrl_error("NRLAdvertisementSender: calloc(%d) failed in NRLAdvertisementSender\n", static_cast<int>(length));
        return Outcome::kOutOfMemory;
    }
    BuildAdvertisement(std::span<unsigned char>(message, length), resource->rsrc_name, resource->rsrc_type,
                       alloc_uaddr, uw_local_host_name);
    NRL_TRACE("advertisement size is %d\n", static_cast<int>(length - kAdvHeaderSize));

    NRL_TRACE("rcvr addr=%s\n", uaddress(&call->addr));
    NRL_TRACE("attempting to connect. state=%d\n", t_getstate_v(fd));
    rc = t_connect_v(fd, call, nullptr);
    int connect_errno = errno;
    check_tli("connect", fd, rc);
    if (rc == 0) {
        loop_t_snd(fd, message, static_cast<unsigned>(length), static_cast<unsigned>(MaxTLISend(fd)));
        check_tli("sndrel", fd, t_sndrel_v(fd));
        NRL_TRACE("dummy t_rcv_v not necessary\n");
        check_tli("rcvdis", fd, t_rcvdis_v(fd));
    } else {
        NRL_TRACE("NRLAdvertisementSender: t_connect_v(%s) failed ", uaddress(&call->addr));
        NRL_TRACE(" errno=%d\n", connect_errno);
    }

    MYFREE(message);
    MYFREE(alloc_uaddr);
    call->addr.buf = nullptr;
    check_tli("free", fd, t_free_v(call, T_CALL));
    if (bind != nullptr) check_tli("free bind", fd, t_free_v(bind, T_BIND));
    check_tli("unbind", fd, t_unbind_v(fd));
    check_tli("close", fd, t_close_v(fd));
    return Outcome::kSent;
}

}  // namespace

uint16_t loop_read(int fd, void* buf, uint16_t len) {
    auto* p = static_cast<unsigned char*>(buf);
    uint16_t left = len;
    while (left > 0) {
        ssize_t n = read(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = errno;
            NRL_TRACE("read returned %d\n", static_cast<int>(n));
            if (n == -1) NRL_TRACE("errno=%d\n", err);
            break;
        }
        p += n;
        left = static_cast<uint16_t>(left - n);
    }
    return left;
}

void NRLAdvertisementSender(NRL_RESOURCE* resource) {
    for (;;) {
        NRL_TRACE("NRLAdvertisementSender - main-loop resource %s\n", resource->rsrc_name);
        if (adv_receiver_count == 0) {
            if (!wait_for_interval(resource)) return;
            continue;
        }
        unsigned slept = 0;
        for (int i = 0; i < adv_receiver_count; ++i) {
            // A receiver still without an address keeps its turn in the pass.
            if (ResolvePendingReceiver(i)) {
                Outcome outcome = advertise_to(resource, i);
                if (outcome == Outcome::kOutOfMemory) return;
                if (outcome == Outcome::kPaused) {
                    slept += kAdvFailurePauseSeconds;
                    continue;
                }
            }
            read_new_interval(resource);
            int32_t interval = uw_nrl_def.adv_interval > 0 ? uw_nrl_def.adv_interval : 0;
            unsigned share = static_cast<unsigned>(interval / adv_receiver_count);
            sleep_seconds(share);
            slept += share;
        }
        // A pass without any pause would connect and send in a tight loop.
        if (slept == 0) sleep_seconds(kAdvMinimumPassSeconds);
    }
}

uint16_t StartResourceAdvertiser(NRL_RESOURCE* resource) {
    if (pipe(resource->adv_rate_pipe) < 0) {
        NRL_TRACE("pipe create failed.  errno=%d\n", errno);
        return RESOURCE_EXHAUSTED;
    }
    int flags = fcntl(resource->adv_rate_pipe[0], F_GETFL);
    fcntl(resource->adv_rate_pipe[0], F_SETFL, flags | O_NONBLOCK);

    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        die_with_parent(parent);
        close_inherited_sockets();
        // A reload request is the listener's; here it must not end the process.
        signal(SIGHUP, SIG_IGN);
        if (nice(1) == -1) {
            // A priority that cannot be lowered changes nothing here.
        }
        CloseFile(&resource->adv_rate_pipe[1]);
        NRLAdvertisementSender(resource);
        _exit(0);
    }
    uint16_t result = NRL_SUCCESS;
    if (pid < 0) {
        NRL_TRACE("fork failed.  errno=%d\n", errno);
        CloseFile(&resource->adv_rate_pipe[1]);
        result = FORK_FAILED;
    }
    CloseFile(&resource->adv_rate_pipe[0]);
    resource->adv_pid = pid < 0 ? -1 : pid;
    return result;
}

void StopResourceAdvertiser(NRL_RESOURCE* resource) {
    if (resource->adv_pid > 0) {
        kill(resource->adv_pid, SIGKILL);
        resource->adv_pid = -1;
    }
    CloseFile(&resource->adv_rate_pipe[0]);
    CloseFile(&resource->adv_rate_pipe[1]);
}
