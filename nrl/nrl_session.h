// NRL sessions: one TCP connection a backup server opened to a local
// resource, and the framed messages exchanged over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "nrl/nrl.h"
#include "util/queue.h"

struct NRL_SESSION {
    QElem link;                   // in resource->sessions
    NRL_RESOURCE* resource;
    int tlifd;                    // the connection; also the session's identifier
    uint32_t max_tsnd;            // largest piece for one send (MaxTLISend)
    uint16_t dying;               // 1 once KillSession has claimed the session
    unsigned char* sndbuf;        // header and data of the last message sent; only grows
    uint16_t sndbuf_size;         // bytes in sndbuf; 0 = none
    int16_t use_cnt;              // NRL operations using the session right now
    NRLDeallocNotify dealloc_notify;
    void* app_ptr;                // the user's pointer
    // A receive reads the header and as much of the data as the caller's
    // buffer holds in one call; bytes that came in past the message (a peer
    // that sent its next message early) wait here for the next receive.
    unsigned char* rcv_carry;
    uint32_t rcv_carry_pos;       // first byte waiting
    uint32_t rcv_carry_len;       // bytes waiting
    uint32_t rcv_carry_size;      // room of rcv_carry
    // Seconds a receive waits for the peer to send anything; 0 = no limit.
    // When the limit passes, the receive fails as if the peer had closed
    // the connection, and rcv_idle_expired says why.
    uint32_t rcv_idle_limit;
    uint16_t rcv_idle_expired;
    // How the peer ended the session, as the last failed receive saw it
    // (NrlPeerEnd); 0 when it did not: a transfer failed.
    uint16_t rcv_peer_end;
    // Set once a send left part of a message unsent (NrlSendEnd): the
    // stream is broken, so nothing more is sent, and killing the session
    // closes the connection at once rather than wait for a peer that does
    // not take what is queued.
    uint16_t snd_failed;
};

enum NrlSendEnd : uint16_t {
    NRL_SEND_FAILED = 1,    // the connection failed (reset, closed)
    NRL_SEND_STALLED = 2,   // no byte could be sent for the endpoint's send limit
};

enum NrlPeerEnd : uint16_t {
    NRL_PEER_CLOSED = 1,    // orderly close between two messages
    NRL_PEER_DEALLOC = 2,   // deallocation message
};

// The 4-byte header ahead of every message on a session.
struct msg_hdr {
    uint8_t type;       // NrlMsgType
    uint8_t reserved;   // sent as 0, ignored
    uint16_t size;      // NRL_DATA: data bytes that follow; NRL_DEALLOC: the reason
};

enum NrlMsgType : uint8_t {
    NRL_DATA = 0,
    NRL_DEALLOC = 1,
    NRL_ADVERTISE = 2,
    NRL_ABORT = 3,
};

constexpr size_t kMsgHdrSize = 4;
// Header and data must fit the 16-bit send buffer size.
constexpr uint16_t kMaxNrlData = 0xFFFF - kMsgHdrSize;

// Wire form of the header: type, reserved, size little-endian. Inline:
// every message sent and received passes here.
inline void EncodeMsgHdr(const msg_hdr& hdr, std::span<unsigned char, kMsgHdrSize> out) {
    out[0] = hdr.type;
    out[1] = hdr.reserved;
    out[2] = static_cast<unsigned char>(hdr.size & 0xFF);
    out[3] = static_cast<unsigned char>(hdr.size >> 8);
}

inline msg_hdr DecodeMsgHdr(std::span<const unsigned char, kMsgHdrSize> in) {
    msg_hdr hdr{};
    hdr.type = in[0];
    hdr.reserved = in[1];
    hdr.size = static_cast<uint16_t>(in[2] | (in[3] << 8));
    return hdr;
}

// Session-open exchange, the first bytes on a new connection.
constexpr size_t kSessionOpenRequestSize = 1 + kAllocDataSize;  // type byte, allocation data
constexpr size_t kSessionOpenReplySize = 2 + kAllocDataSize;    // status (LE), reply data
// Builds the reply: low 16 bits of status little-endian, then the 512 bytes
// of reply_data, or zeros when there is none.
void BuildSessionOpenReply(int status, const unsigned char* reply_data,
                           std::span<unsigned char, kSessionOpenReplySize> out);

// Completion routine of a receive: status 0, COMM_FAILURE, MSG_TRUNCATED,
// DEAD_SESSION or the peer's deallocation reason.
using NRLRecvComplete = void (*)(NRL_SESSION* session, uint16_t status, unsigned char* buffer,
                                 uint16_t length);
// Completion routine of a send: accepted and never called.
using NRLSendComplete = void (*)(NRL_SESSION* session, uint16_t status);

uint16_t NRLSendMessage(NRL_SESSION* session, uint32_t unused, const void* data, uint16_t size,
                        NRLSendComplete complete);
uint16_t NRLMessageSender(NRL_SESSION* session, uint8_t type, const void* data, uint16_t size);
uint16_t NRLReceiveMessage(NRL_SESSION* session, void* buffer, uint16_t buffer_size,
                           uint32_t unused, NRLRecvComplete complete);
uint16_t NRLDeAllocSession(NRL_SESSION* session, uint16_t reason);

// Sends one data message whose data is `data` (size bytes) with the
// insert_len bytes of `insert` placed at offset insert_at: the NRL header,
// data and insert go out in one system call, and the inserted bytes (bulk
// object data) are never copied by the layer. The bytes of data from
// insert_at to insert_at + insert_len are not sent. Results as NRLSendMessage.
uint16_t NRLSendMessageInsert(NRL_SESSION* session, const void* data, uint16_t size, const void* insert,
                              uint16_t insert_at, uint16_t insert_len);

// Sends one data message made of head_len bytes at data followed by pipe_len
// bytes that wait in a pipe (pipe_rd, its read end): the NRL header and data
// go out first, held back for the pipe's bytes, which go from the pipe to the
// connection without being copied. Results as NRLSendMessage; bytes of the
// pipe left unsent after a failure stay in it.
uint16_t NRLSendMessageSpliced(NRL_SESSION* session, const void* data, uint16_t head_len, int pipe_rd,
                               uint16_t pipe_len);

// The data area of the session's send buffer, grown to hold data_size bytes
// behind the header, or null when memory runs out. A message built there and
// handed to NRLSendMessage goes out without being copied.
unsigned char* NRLSendBuffer(NRL_SESSION* session, uint16_t data_size);

int UseSession(NRL_SESSION* session, const char* tag);
void ReleaseSession(NRL_SESSION* session, const char* tag);
NRL_SESSION* ValidateSession(NRL_SESSION* session);
void KillSession(NRL_SESSION* session);
NRL_SESSION* Id2Session(int id);
void NRLSetSessionApplicationPtr(NRL_SESSION* session, void* ptr);
void* NRLGetSessionApplicationPtr(NRL_SESSION* session);

// For a process that has handed the connection to another process (the
// listener after forking a session process, its copy of the connection
// already closed): unlinks and frees this process's copy of the record
// without closing the descriptor and without the deallocation notification.
void NRLDiscardSessionCopy(NRL_SESSION* session);
