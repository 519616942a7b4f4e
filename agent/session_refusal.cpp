#include "agent/session_refusal.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
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

// The lines of the current minute, which starts with its first line.
int64_t minute_started_ms = 0;
unsigned minute_lines = 0;
// Refusals due a line that the minute had no room for. Read by the signal
// handler that stops the listener, hence atomic; owner is the process that
// counted them.
std::atomic<uint64_t> unreported{0};
std::atomic<pid_t> unreported_owner{0};

constexpr const char* kUnreportedText = ": session refusals not reported: ";

void report_unreported(uint64_t n) {
    std::fprintf(stderr, "%s%s%llu (at most %u lines a minute)\n", prog_name, kUnreportedText,
                 static_cast<unsigned long long>(n), kRefusalLinesPerMinute);
}

// Appends text to out (room bytes in all, used so far); async-signal-safe.
void append(char* out, size_t room, size_t& used, const char* text) {
    while (*text != '\0' && used + 1 < room) out[used++] = *text++;
}

void append_number(char* out, size_t room, size_t& used, uint64_t n) {
    char digits[24];
    size_t k = 0;
    do {
        digits[k++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    while (k > 0 && used + 1 < room) out[used++] = digits[--k];
}

}  // namespace

void ReportRefusedSession(const sockaddr_in& peer, const char* reason) {
    const int64_t now = monotonic_ms();
    if (!due(peer.sin_addr.s_addr, reason, now)) return;
    ReportUnreportedRefusals();
    if (minute_lines == 0 || now - minute_started_ms >= kReportIntervalMs) {
        minute_started_ms = now;
        minute_lines = 0;
    }
    if (minute_lines >= kRefusalLinesPerMinute) {
        unreported_owner = getpid();
        ++unreported;
        return;
    }
    ++minute_lines;
    std::fprintf(stderr, "%s: session refused: peer=%s reason=%s\n", prog_name,
                 AddressPortText(peer.sin_addr.s_addr, ntohs(peer.sin_port)).text, reason);
}

void ReportUnreportedRefusals() {
    if (unreported == 0 || monotonic_ms() - minute_started_ms < kReportIntervalMs) return;
    report_unreported(unreported.exchange(0));
    minute_lines = 0;
}

void ReportUnreportedRefusalsAtExit() {
    const uint64_t n = unreported.exchange(0);
    if (n == 0 || unreported_owner != getpid()) return;
    char line[512];
    size_t used = 0;
    append(line, sizeof line, used, prog_name != nullptr ? prog_name : "agent");
    append(line, sizeof line, used, kUnreportedText);
    append_number(line, sizeof line, used, n);
    append(line, sizeof line, used, " (at most ");
    append_number(line, sizeof line, used, kRefusalLinesPerMinute);
    append(line, sizeof line, used, " lines a minute)\n");
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, line, used);
}

void RefuseSessionOpen(int fd, const sockaddr_in& peer, const char* reason) {
    // The reply fits an empty socket buffer; should it not, the peer gets
    // less rather than the listener waiting for it.
    SetEndpointNonBlocking(fd, true);
    // Counted before the peer can know: a stop that follows its refusal
    // at once still reports it.
    ReportRefusedSession(peer, reason);
    unsigned char reply[kSessionOpenReplySize];
    BuildSessionOpenReply(1, nullptr, reply);
    unsigned unsent = loop_t_snd(fd, reply, sizeof reply, kMaxTliSend);
    DEBUG_PRINTF(DBG_PROCESS, "t_snd_v for alloc response returned %d\n", static_cast<int>(unsent));
    CloseEndpointAtOnce(fd);
}
