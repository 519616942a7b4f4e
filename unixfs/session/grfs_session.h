// The GRFS session record: everything one session process owns for its
// connection (buffers, attachments, open objects, the handles that name
// them), and the reply path that every request handler uses.
#pragma once

#include <cstdint>
#include <span>

#include "unixfs/session/capability_memo.h"
#include "unixfs/session/handle_table.h"
#include "util/console.h"
#include "util/queue.h"

struct WS_CNTL;
struct NRL_SESSION;
struct NRL_RESOURCE;
struct FILE_MEMORY;
struct GRFS_MESSAGE;
struct SessionTally;
class SplicePipe;

struct GRFS_SESSION {
    QElem link;                 // element of ws->session_list
    NRL_SESSION* nrl_session;
    NRL_RESOURCE* nrl_resource;
    WS_CNTL* ws;
    uint16_t attach_count;
    uint16_t active;
    int16_t max_msg_size;       // object_buffer_size + 324
    Queue attach_list;          // wsdle records, each with its drvdle records
    Queue object_list;          // open FILE_MEMORY records
    FILE_MEMORY* default_object;
    uint16_t default_object_in_use;
    unsigned char* recv_buf;    // max_msg_size bytes, wire form
    GRFS_MESSAGE* reply;        // reply under construction, host form
    uint16_t send_state;
    uint16_t busy;
    uint16_t msg_arrived;
    uint16_t msg_len;
    uint16_t msg_status;
    unsigned char* coding_buf;  // decoded request, then the encoded reply
    // The data of the write request being handled, left where it lies in
    // recv_buf rather than copied into the decoded record; null: the record
    // holds it. Set by the dispatcher for the handler's run only.
    const unsigned char* request_data;
    uint32_t request_data_len;
    // For tests and fuzzers: when set, every encoded reply (GRFS header and
    // body, without the NRL header) goes here instead of to the network, and
    // its result is SendMessage's (0 sent, nonzero refused).
    int (*reply_sink)(GRFS_SESSION* ses, std::span<const unsigned char> encoded);
    void* sink_context;         // free for the sink's owner
    // Bulk data of the reply being built, sent from where it lies rather
    // than copied into the reply record (SetReplyData). SendMessage clears it.
    char* reply_data_field;         // the data array of the reply record it stands for
    const unsigned char* reply_data;
    SplicePipe* reply_pipe;         // or the bytes are the next ones in this pipe (SetReplyPipe)
    uint32_t reply_data_len;
    // Refused attaches: each makes the next attach of the session wait
    // (attach_guard.h); the tenth ends the session.
    uint16_t attach_refusals;
    int64_t attach_not_before_ns;  // CLOCK_MONOTONIC; 0: answer at once
    // For tests and fuzzers: when set, that wait (nanoseconds) is handed
    // here instead of being slept.
    void (*attach_pause)(GRFS_SESSION* ses, int64_t nanoseconds);
    // Console messages printed and held back in this session.
    ConsoleRepeats console_repeats;
    // What the session did, for its end line; null: not counted.
    SessionTally* tally;
    uint16_t end_cause;         // SessionEndCause (agent/session_process.h)
    // The handles issued to the peer: attachments, searches, open objects.
    // Allocated by the session process with its buffers, so that the
    // listener never carries a table it does not use.
    HANDLE_TABLE* handles;
    // File capabilities restored in this session (object_xattr.h).
    CAPABILITY_MEMOS capabilities;
    // Bytes its open objects hold of streams collected before they are
    // applied (stream_budget.h).
    uint64_t stream_bytes;
    // The reply being built carries a nonzero retcode that is no failure
    // (an unopenable FIFO's 1); SendMessage clears it.
    bool reply_no_error;
};

// Sets the reply's header: the given type, retcode 0 and the request's
// request_id. The body is left for the handler to fill.
GRFS_MESSAGE* StartReply(GRFS_SESSION* ses, uint32_t request_id, uint8_t reply_type);

// Sends a header-only reply of reply_type carrying rc. rc, or 1 when the
// reply could not be sent.
int AnswerRetcode(GRFS_SESSION* ses, uint32_t request_id, uint8_t reply_type, int rc);

// Encodes the reply and hands it to the NRL layer (or to reply_sink). 0
// sent (or nowhere to send: neither sink nor NRL session), 1 the send was
// refused or failed.
int SendMessage(GRFS_SESSION* ses, GRFS_MESSAGE* message, int body_size);

// Hands the bytes of the reply's data array `field` (len bytes at data) to
// the next SendMessage without copying them into the record: they go to the
// socket straight from data, which must stay unchanged until then (the
// read-ahead buffer does). Where the reply goes anywhere but to the network
// (a sink, no session) and with message tracing on, they are copied into
// the record after all, so that it reads as a whole reply.
void SetReplyData(GRFS_SESSION* ses, char* field, const unsigned char* data, uint32_t len);

// The same for bytes that wait in a pipe (the piped read-ahead): the next len
// bytes of the pipe go to the socket from it, behind the rest of the reply.
// Where the reply goes anywhere but to the network, and with message tracing
// on, they are taken out of the pipe into the record at once.
void SetReplyPipe(GRFS_SESSION* ses, char* field, SplicePipe* pipe, uint32_t len);

// Completion routine handed to the NRL layer with every reply: records in
// send_state whether the send went through (33) or not (34).
void SendCompleteFunc(NRL_SESSION* session, uint16_t status);
