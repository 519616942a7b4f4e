#include "agent/pending_exchanges.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "nrl/tli.h"
#include "util/debug_print.h"

namespace {

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

PendingExchanges::~PendingExchanges() {
    for (auto& e : slots_) {
        if (e.fd >= 0) drop(e);
    }
}

void PendingExchanges::drop(PendingExchange& e) {
    // The traces of the receive that ended short: of the type byte, or of
    // the allocation data behind it.
    if (e.have == 0) {
        DEBUG_PRINTF(DBG_PROCESS, "loop_t_rcv() for NRL message type, rc=%d\n", 1);
    } else {
        DEBUG_PRINTF(DBG_PROCESS, "Rcv for alloc data returned %d\n", static_cast<int>(e.request.size() - e.have));
    }
    CloseEndpointAtOnce(e.fd);
    e = PendingExchange{};
    DEBUG_PRINTF(DBG_PROCESS, "unable to establish a session\n");
}

size_t PendingExchanges::held_by(uint32_t address) const {
    return static_cast<size_t>(std::count_if(slots_.begin(), slots_.end(), [&](const PendingExchange& e) {
        return e.fd >= 0 && e.peer.sin_addr.s_addr == address;
    }));
}

PendingExchange& PendingExchanges::make_room(uint32_t address) {
    // The victim: the oldest exchange of the address that holds the most
    // (of the new peer's own address, once that holds its share).
    PendingExchange* victim = nullptr;
    size_t victim_held = 0;
    const bool own_full = held_by(address) >= kPerAddress;
    for (auto& e : slots_) {
        if (e.fd < 0) {
            if (!own_full) return e;
            continue;
        }
        if (own_full && e.peer.sin_addr.s_addr != address) continue;
        const size_t held = own_full ? kPerAddress : held_by(e.peer.sin_addr.s_addr);
        if (victim == nullptr || held > victim_held || (held == victim_held && e.order < victim->order)) {
            victim = &e;
            victim_held = held;
        }
    }
    if (own_full)
        DEBUG_PRINTF(DBG_PROCESS, "%zu connections from one address opening sessions: dropping its oldest\n",
                     kPerAddress);
    else
        DEBUG_PRINTF(DBG_PROCESS, "%zu connections opening sessions: dropping the oldest of the address holding %zu\n",
                     kCapacity, victim_held);
    drop(*victim);
    return *victim;
}

void PendingExchanges::Add(int fd, const sockaddr_in& peer, uint32_t timeout_seconds) {
    PendingExchange* slot = &make_room(peer.sin_addr.s_addr);
    // Whatever the peer does, reading its request or writing the reply must
    // never hold the listener.
    SetEndpointNonBlocking(fd, true);
    DEBUG_PRINTF(DBG_PROCESS, "Calling loop_t_rcv to get NRL message type\n");
    slot->fd = fd;
    slot->peer = peer;
    slot->deadline_ms = timeout_seconds != 0 ? now_ms() + static_cast<int64_t>(timeout_seconds) * 1000 : 0;
    slot->order = ++accepted_;
    slot->have = 0;
    ready_[static_cast<size_t>(slot - slots_.data())] = 0;
}

bool PendingExchanges::Wait(int listen_fd, int wake_fd, int max_wait_ms) {
    std::array<pollfd, kCapacity + 2> fds;
    std::array<size_t, kCapacity + 2> slot_of;
    size_t n = 0;
    fds[n++] = pollfd{listen_fd, POLLIN, 0};
    int64_t earliest = 0;
    for (size_t i = 0; i < kCapacity; ++i) {
        ready_[i] = 0;
        const PendingExchange& e = slots_[i];
        if (e.fd < 0) continue;
        slot_of[n] = i;
        fds[n++] = pollfd{e.fd, POLLIN, 0};
        if (e.deadline_ms != 0 && (earliest == 0 || e.deadline_ms < earliest)) earliest = e.deadline_ms;
    }
    int timeout = -1;
    if (earliest != 0) timeout = static_cast<int>(std::clamp<int64_t>(earliest - now_ms(), 0, INT_MAX));
    if (max_wait_ms >= 0 && (timeout < 0 || timeout > max_wait_ms)) timeout = max_wait_ms;
    const size_t exchanges_end = n;
    if (wake_fd >= 0) fds[n++] = pollfd{wake_fd, POLLIN, 0};
    int rc = poll(fds.data(), n, timeout);
    if (rc <= 0) return false;  // a deadline passed, or a signal came
    for (size_t k = 1; k < exchanges_end; ++k) ready_[slot_of[k]] = fds[k].revents;
    return (fds[0].revents & POLLIN) != 0;
}

void PendingExchanges::Progress(const std::function<bool(PendingExchange&)>& done) {
    std::array<size_t, kCapacity> completed;
    size_t n_completed = 0;
    for (size_t i = 0; i < kCapacity; ++i) {
        PendingExchange& e = slots_[i];
        if (e.fd < 0 || ready_[i] == 0) continue;
        ready_[i] = 0;
        // Only the request itself: bytes a peer sends early behind it belong
        // to the session and stay on the connection.
        int n = t_rcv_v(e.fd, e.request.data() + e.have, static_cast<unsigned>(e.request.size() - e.have));
        check_tli("rcv", e.fd, n);
        if (n > 0) {
            if (e.have == 0) DEBUG_PRINTF(DBG_PROCESS, "loop_t_rcv() for NRL message type, rc=%d\n", 0);
            e.have += static_cast<size_t>(n);
            if (e.complete()) completed[n_completed++] = i;
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            drop(e);  // the peer went away before its request was whole
        }
    }

    const int64_t now = now_ms();
    for (auto& e : slots_) {
        if (e.fd >= 0 && !e.complete() && e.deadline_ms != 0 && now >= e.deadline_ms) drop(e);
    }

    std::sort(completed.begin(), completed.begin() + static_cast<ptrdiff_t>(n_completed),
              [&](size_t a, size_t b) { return slots_[a].order < slots_[b].order; });
    for (size_t k = 0; k < n_completed; ++k) {
        PendingExchange e = slots_[completed[k]];
        slots_[completed[k]] = PendingExchange{};
        if (!done(e)) break;
    }
}

void PendingExchanges::CloseCopies() {
    for (auto& e : slots_) {
        if (e.fd >= 0) t_close_v(e.fd);
        e = PendingExchange{};
    }
}

size_t PendingExchanges::size() const {
    return static_cast<size_t>(std::count_if(slots_.begin(), slots_.end(), [](const PendingExchange& e) { return e.fd >= 0; }));
}
