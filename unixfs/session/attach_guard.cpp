#include "unixfs/session/attach_guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "nrl/nrl_function_table.h"
#include "nrl/nrl_session.h"
#include "nrl/tli.h"
#include "unixfs/session/grfs_session.h"
#include "util/console.h"
#include "util/debug_print.h"

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;
constexpr int64_t kFirstDelaySeconds = 1;
constexpr int64_t kLongestDelaySeconds = 16;

int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

void sleep_ns(int64_t ns) {
    timespec left{static_cast<time_t>(ns / kNanosPerSecond), static_cast<long>(ns % kNanosPerSecond)};
    while (nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
}

// "address:port" of the connection's far end, "unknown" without one.
std::string peer_address(const GRFS_SESSION* ses) {
    if (ses->nrl_session == nullptr) return "unknown";
    // The agent's sessions are IPv4 connections.
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getpeername(ses->nrl_session->tlifd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        addr.sin_family != AF_INET) {
        return "unknown";
    }
    return AddressPortText(addr.sin_addr.s_addr, ntohs(addr.sin_port)).text;
}

int64_t delay_after(uint16_t refusals) {
    int64_t seconds = kFirstDelaySeconds;
    for (uint16_t i = 1; i < refusals && seconds < kLongestDelaySeconds; ++i) seconds *= 2;
    return (seconds < kLongestDelaySeconds ? seconds : kLongestDelaySeconds) * kNanosPerSecond;
}

}  // namespace

void AwaitAttachTurn(GRFS_SESSION* ses) {
    if (ses->attach_not_before_ns == 0) return;
    const int64_t wait = ses->attach_not_before_ns - monotonic_ns();
    if (wait <= 0) return;
    if (ses->attach_pause != nullptr)
        ses->attach_pause(ses, wait);
    else
        sleep_ns(wait);
}

void AttachRefused(GRFS_SESSION* ses, AttachTarget target, const char* name, const char* reason) {
    const std::string peer = peer_address(ses);
    if (target == AttachTarget::workstation)
        ConsoleMessage(&ses->console_repeats, "attach refused: peer=%s workstation=\"%s\" reason=%s\n", peer.c_str(),
                       name, reason);
    else
        ConsoleMessage(&ses->console_repeats, "attach refused: peer=%s dle=\"%s\" reason=%s\n", peer.c_str(), name,
                       reason);
    if (ses->attach_refusals < kMaxAttachRefusals) ++ses->attach_refusals;
    ses->attach_not_before_ns = monotonic_ns() + delay_after(ses->attach_refusals);
    if (ses->attach_refusals < kMaxAttachRefusals || ses->nrl_session == nullptr) return;
    // Ended as if the peer had closed: the layer kills the session, which
    // tells the listener, and the next receive ends the session process.
    DEBUG_PRINTF(DBG_PROCESS, "ending session after %d refused attaches\n", ses->attach_refusals);
    const NRL_FUNC_TABLE* nrl =
        gb_NRL_function_table_ptr != nullptr ? gb_NRL_function_table_ptr : NRLGetFunctionTablePtr();
    nrl->NRLDeAllocSession(ses->nrl_session, 0);
}
