// The session process: one per admitted session, forked by the listener. It
// receives GRFS requests as NRL messages, decodes and dispatches them one at
// a time, and ends when the session can no longer receive.
#pragma once

#include <cstdint>

struct GRFS_SESSION;
struct GRFS_MESSAGE;
struct NRL_SESSION;

// Seconds a session process waits for its peer to send anything before it
// ends the session as if the peer had closed; 0 = no limit. Set by the
// configuration keyword session_idle_timeout.
extern uint32_t gb_session_idle_timeout;

// Why a session ended, for its end line.
enum SessionEndCause : uint16_t {
    SESSION_END_TRANSFER_FAILED = 0,  // a receive failed: reset, error, cut off mid-message
    SESSION_END_PEER_CLOSED = 1,      // the peer closed the connection between two messages
    SESSION_END_DEALLOC = 2,          // a deallocation message, from the peer or the agent
    SESSION_END_IDLE_TIMEOUT = 3,     // nothing received for gb_session_idle_timeout seconds
};
// The word the end line uses: peer_closed, dealloc, transfer_failed, idle_timeout.
const char* SessionEndText(uint16_t cause);

// The body of a session process; exits with status 0, never returns.
[[noreturn]] void Session_Handler_Process(GRFS_SESSION* ses);

// Allocates the session's buffers and its pre-made object record. False
// (after reporting "Unable to allocate memory.") when one is missing.
bool AllocateSessionBuffers(GRFS_SESSION* ses);
// Frees what AllocateSessionBuffers made (the object record goes with
// CleanupSessionResources).
void FreeSessionBuffers(GRFS_SESSION* ses);

// Receives one message into recv_buf. 0 while the session can receive,
// nonzero once it cannot.
int SubmitGRFSRecvMsg(GRFS_SESSION* ses);

// Receive completion routine: a good message (status 0) is marked arrived.
// A receive that ended because the peer stayed silent past
// gb_session_idle_timeout is reported on the console.
void IncomingGRFSMessage(NRL_SESSION* session, uint16_t status, unsigned char* buffer, uint16_t length);

// Releases everything the session holds: open objects (their descriptors
// closed), searches, attachments, the pre-made object record and every
// handle; then unlinks the record from the session list and reports the
// console messages the session held back.
void CleanupSessionResources(GRFS_SESSION* ses);
