#include "agent/session_lines.h"

#include <arpa/inet.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "nrl/tli.h"
#include "unixfs/session/session_tally.h"
#include "util/console.h"

namespace {

enum TallyState : int { kFree = 0, kClaimed, kRunning, kReaped };

// Sessions alive plus those ended and not yet reported; the admission
// limit keeps far fewer.
constexpr int kTallySlots = 64;
SessionTally* tallies = nullptr;

long long seconds_since(const timespec& started) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec - started.tv_sec);
}

void start_line(const SessionTally& t) {
    ConsoleMessage(nullptr, "session start pid=%d peer=%s\n", t.pid.load(), AddressPortText(t.peer_addr, t.peer_port).text);
}

void end_line(const SessionTally& t, const char* cause) {
    ConsoleMessage(nullptr,
                   "session end pid=%d peer=%s seconds=%lld dles=%s objects_read=%llu bytes_read=%llu "
                   "objects_written=%llu bytes_written=%llu objects_deleted=%llu errors=%llu end=%s\n",
                   t.pid.load(), AddressPortText(t.peer_addr, t.peer_port).text, seconds_since(t.started), t.dles[0] != '\0' ? t.dles : "-",
                   static_cast<unsigned long long>(t.objects_read), static_cast<unsigned long long>(t.bytes_read),
                   static_cast<unsigned long long>(t.objects_written),
                   static_cast<unsigned long long>(t.bytes_written),
                   static_cast<unsigned long long>(t.objects_deleted), static_cast<unsigned long long>(t.errors),
                   cause);
}

}  // namespace

bool SessionLinesInit() {
    if (tallies != nullptr) return true;
    void* p = mmap(nullptr, sizeof(SessionTally) * kTallySlots, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
    if (p == MAP_FAILED) return false;
    tallies = static_cast<SessionTally*>(p);
    for (int i = 0; i < kTallySlots; ++i) new (&tallies[i]) SessionTally{};
    return true;
}

SessionTally* ClaimSessionTally(const sockaddr_in& peer) {
    if (tallies == nullptr) return nullptr;
    for (int i = 0; i < kTallySlots; ++i) {
        SessionTally& t = tallies[i];
        if (t.state.load() != kFree) continue;
        t.~SessionTally();
        new (&t) SessionTally{};
        t.state = kClaimed;
        t.peer_addr = peer.sin_addr.s_addr;
        t.peer_port = ntohs(peer.sin_port);
        clock_gettime(CLOCK_MONOTONIC, &t.started);
        return &t;
    }
    return nullptr;
}

void SessionTallyForked(SessionTally* tally, pid_t pid) {
    if (tally == nullptr) return;
    if (pid < 0) {
        tally->state = kFree;
        return;
    }
    tally->pid = pid;
    tally->state = kRunning;
}

void WriteSessionStart(SessionTally* tally) {
    if (tally == nullptr) return;
    tally->pid = static_cast<int>(getpid());
    start_line(*tally);
    tally->start_written = 1;
}

void WriteSessionEnd(SessionTally* tally, const char* cause) {
    if (tally == nullptr) return;
    end_line(*tally, cause);
    tally->end_written = 1;
}

void NoteSessionReaped(pid_t pid, int wait_status) {
    if (tallies == nullptr) return;
    for (int i = 0; i < kTallySlots; ++i) {
        SessionTally& t = tallies[i];
        if (t.state.load() == kRunning && t.pid.load() == pid) {
            t.wait_status = wait_status;
            t.state = kReaped;
            return;
        }
    }
}

void ReportReapedSessions() {
    if (tallies == nullptr) return;
    for (int i = 0; i < kTallySlots; ++i) {
        SessionTally& t = tallies[i];
        if (t.state.load() != kReaped) continue;
        if (t.start_written.load() == 0) start_line(t);
        if (t.end_written.load() == 0) {
            const int status = t.wait_status.load();
            char cause[24] = "transfer_failed";
            if (WIFSIGNALED(status)) std::snprintf(cause, sizeof cause, "signal_%d", WTERMSIG(status));
            end_line(t, cause);
        }
        t.state = kFree;
    }
}
