// Connections whose session-open request is still arriving. The listener
// serves all of them at once: each has its own deadline for the whole
// exchange and its own receive progress, so no peer, whatever it sends or
// withholds, holds up another one's session open.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "nrl/nrl_session.h"

// One accepted connection in its session-open exchange.
struct PendingExchange {
    int fd = -1;              // the accepted endpoint; -1: free slot
    sockaddr_in peer{};       // who connected, as the accept reported it
    int64_t deadline_ms = 0;  // end of the whole exchange (monotonic); 0: no limit
    uint64_t order = 0;       // accept order: the smallest is the oldest
    size_t have = 0;          // bytes of the request received so far
    std::array<unsigned char, kSessionOpenRequestSize> request{};

    bool complete() const { return have == request.size(); }
};

class PendingExchanges {
public:
    // A flood of connections that send nothing must not exhaust the
    // listener's descriptors: beyond this many, the oldest of the address
    // that holds the most is dropped.
    static constexpr size_t kCapacity = 64;
    // Nor may one address crowd out the others: beyond this many from one
    // address, its own oldest is dropped.
    static constexpr size_t kPerAddress = 8;

    PendingExchanges() = default;
    // Drops whatever is still pending.
    ~PendingExchanges();
    PendingExchanges(const PendingExchanges&) = delete;
    PendingExchanges& operator=(const PendingExchanges&) = delete;

    // Takes an accepted endpoint whose exchange must end within
    // timeout_seconds (0: no limit). The endpoint no longer waits in
    // transfers from now on. When kPerAddress from the peer's address are
    // pending, the oldest of them is dropped first; else when kCapacity are
    // pending, the oldest of the address that holds the most.
    void Add(int fd, const sockaddr_in& peer, uint32_t timeout_seconds);

    // Waits until the listening endpoint has a connection to accept, a
    // pending connection has something to read, or the earliest deadline
    // passes, or at most max_wait_ms (-1: no limit); a signal, or something
    // to read on wake_fd (when not -1), also ends the wait. True when a
    // connection is waiting to be accepted.
    bool Wait(int listen_fd, int wake_fd = -1, int max_wait_ms = -1);

    // Receives what has arrived on the pending connections that Wait found
    // ready, drops those whose peer went away or whose deadline passed, and
    // hands every exchange whose request is now complete to `done`, in the
    // order they were accepted, out of the set (the endpoint is done's).
    // done returns false to stop handing out.
    void Progress(const std::function<bool(PendingExchange&)>& done);

    // In a forked session process: closes this process's copies of every
    // pending connection, which are not its own.
    void CloseCopies();

    size_t size() const;

private:
    void drop(PendingExchange& e);
    // The slot for a new exchange from address, made free if need be.
    PendingExchange& make_room(uint32_t address);
    size_t held_by(uint32_t address) const;

    std::array<PendingExchange, kCapacity> slots_{};
    std::array<short, kCapacity> ready_{};  // poll results of the last Wait
    uint64_t accepted_ = 0;
};
