#include "agent/session_refusal.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "nrl/nrl_session.h"
#include "nrl/tli.h"
#include "util/debug_print.h"

namespace {

constexpr int64_t kReportIntervalMs = 60 * 1000;

// Addresses reported lately. Beyond this many, the one reported longest ago
// is forgotten first.
constexpr size_t kRememberedPeers = 256;

struct Reported {
    uint32_t address = 0;           // network byte order
    const char* reason = nullptr;   // nullptr: free slot
    int64_t at_ms = 0;
};

// The listener's own record; session processes never report refusals.
std::array<Reported, kRememberedPeers> reported;

// True when this address and reason are due a line; remembers the time.
bool due(uint32_t address, const char* reason, int64_t now_ms) {
    auto it = std::find_if(reported.begin(), reported.end(), [&](const Reported& r) {
        return r.reason != nullptr && r.address == address && std::strcmp(r.reason, reason) == 0;
    });
    if (it != reported.end()) {
        if (now_ms - it->at_ms < kReportIntervalMs) return false;
    } else {
        it = std::min_element(reported.begin(), reported.end(), [](const Reported& a, const Reported& b) {
            if ((a.reason == nullptr) != (b.reason == nullptr)) return a.reason == nullptr;
            return a.at_ms < b.at_ms;
        });
    }
    *it = Reported{address, reason, now_ms};
    return true;
}

int64_t monotonic_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void ReportRefusedSession(const sockaddr_in& peer, const char* reason) {
    if (!due(peer.sin_addr.s_addr, reason, monotonic_ms())) return;
    std::fprintf(stderr, "%s: session refused: peer=%s reason=%s\n", prog_name,
                 AddressPortText(peer.sin_addr.s_addr, ntohs(peer.sin_port)).text, reason);
}

void RefuseSessionOpen(int fd, const sockaddr_in& peer, const char* reason) {
    // The reply fits an empty socket buffer; should it not, the peer gets
    // less rather than the listener waiting for it.
    SetEndpointNonBlocking(fd, true);
    unsigned char reply[kSessionOpenReplySize];
    BuildSessionOpenReply(1, nullptr, reply);
    unsigned unsent = loop_t_snd(fd, reply, sizeof reply, kMaxTliSend);
    DEBUG_PRINTF(DBG_PROCESS, "t_snd_v for alloc response returned %d\n", static_cast<int>(unsent));
    CloseEndpointAtOnce(fd);
    ReportRefusedSession(peer, reason);
}
