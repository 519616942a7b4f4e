// The session listener: registers the agent's resource with the network
// resource layer, admits at most the configured number of concurrent
// sessions, and forks one session process per admitted session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "nrl/nrl.h"

struct WS_CNTL;
struct GRFS_SESSION;
struct PendingExchange;
class PendingExchanges;

// Causes reported by SendCommFailure.
enum CommFailureCause : int {
    COMM_NO_MEMORY = 1,
    COMM_NRL_INIT_FAILED = 2,
    COMM_NRL_RECEIVE_FAILED = 3,
    COMM_ADVERTISE_FAILED = 4,
    COMM_FORK_FAILED = 5,
};

// "<prog>: Communication System Failure:" and the cause's line, on
// standard error.
void SendCommFailure(WS_CNTL* ws, int code);

// The agent's resource: type 32, named "2044" (no workstation password) or
// "2045" (password required) followed by the workstation name.
constexpr uint16_t kGrfsResourceType = 32;
constexpr size_t kAgentResourceNameSize = 4 + 35 + 1;
// Writes the resource name (always terminated, cut to fit) and returns its
// length.
size_t BuildResourceName(const WS_CNTL* ws, std::span<char> out);

// Runs the listener; returns only when it stops: 0 when it served until
// then, 1 when it could not be set up or a fork failed (the agent's exit
// status).
int Listen_Process(WS_CNTL* ws);

// After the ready line: "<program>: Listening on <address> port <port>.",
// saying so when the port is not 8192 because that was taken.
void ReportListeningAddress(const NRL_RESOURCE* resource);

// Accepts the connection waiting on the resource and adds it to the
// exchanges in progress, with gb_nrl_conn_timeout seconds for the whole
// session-open exchange. A peer the configuration's allow lines leave out
// is refused and closed at once instead.
void AcceptConnection(NRL_RESOURCE* resource, PendingExchanges& pending);

// A connection whose session-open request is whole (the exchange is now the
// caller's): asks the notification routine, sends the reply and, when the
// session is admitted, returns its GRFS session record (counted in
// num_sessions_connected). Otherwise the connection is closed and nothing of
// it is kept.
GRFS_SESSION* establish_session(WS_CNTL* ws, NRL_RESOURCE* resource, PendingExchange& exchange);

// The resource's notification routine: admits a session while fewer than
// max_sessions are connected (0), else refuses (1).
int IncomingSessionRequest(NRL_RESOURCE* resource, NRL_SESSION* session, unsigned char* alloc_data,
                           unsigned char** reply_data, NRLDeallocNotify* dealloc_notify);

// Deallocation routine of every admitted session: tells the listener
// (SIGUSR2) and forgets the session's GRFS record in this process.
void NotifySessionDealloc(NRL_SESSION* session, uint16_t reason);
