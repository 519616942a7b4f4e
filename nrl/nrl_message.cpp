// Sending and receiving framed messages on a session.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/uio.h>

#include "nrl/nrl.h"
#include "nrl/nrl_session.h"
#include "nrl/nrl_trace.h"
#include "nrl/tli.h"
#include "util/alloc.h"

namespace {

// Grows the send buffer to total bytes; a message already placed in the old
// buffer (data_len bytes at data) is carried over. False when memory runs out.
bool grow_sndbuf(NRL_SESSION* session, unsigned total, const void* data, unsigned data_len) {
    NRL_TRACE("allocating bigger buffer %d\n", static_cast<int>(total));
    auto* fresh = static_cast<unsigned char*>(MYMALLOC(total));
    if (fresh != nullptr && data != nullptr && data_len != 0)
        std::memcpy(fresh + kMsgHdrSize, data, data_len);
    if (session->sndbuf != nullptr) MYFREE(session->sndbuf);
    session->sndbuf = fresh;
    session->sndbuf_size = fresh != nullptr ? static_cast<uint16_t>(total) : 0;
    return fresh != nullptr;
}

// Notes a send that left bytes unsent; errno is still that of the send.
void note_send_failed(NRL_SESSION* session) {
    session->snd_failed = errno == EAGAIN || errno == EWOULDBLOCK ? NRL_SEND_STALLED : NRL_SEND_FAILED;
}

// A session whose send failed sends nothing more: the peer could not tell
// where the part it got of the failed message ends.
bool refuse_after_failed_send(const NRL_SESSION* session) {
    if (session->snd_failed == 0) return false;
    NRL_TRACE("an earlier send failed: MsgSender returning %d\n", COMM_FAILURE);
    return true;
}

}  // namespace

unsigned char* NRLSendBuffer(NRL_SESSION* session, uint16_t data_size) {
    if (data_size > kMaxNrlData) return nullptr;
    unsigned total = data_size + kMsgHdrSize;
    if (total > session->sndbuf_size && !grow_sndbuf(session, total, nullptr, 0)) return nullptr;
    return session->sndbuf + kMsgHdrSize;
}

uint16_t NRLMessageSender(NRL_SESSION* session, uint8_t type, const void* data, uint16_t size) {
    const unsigned data_len = type == NRL_DEALLOC ? 0 : size;
    // Header and data must fit the 16-bit buffer size.
    if (data_len > kMaxNrlData || (data_len != 0 && data == nullptr)) {
        NRL_TRACE("MsgSender returning %d\n", INVALID_PARAM);
        return INVALID_PARAM;
    }
    if (refuse_after_failed_send(session)) return COMM_FAILURE;
    const unsigned total = data_len + kMsgHdrSize;
    bool placed = false;
    if (total > session->sndbuf_size) {
        if (!grow_sndbuf(session, total, data, data_len)) {
            nrl_error("malloc in MsgSender failed %d\n", static_cast<int>(data_len));
            return RESOURCE_EXHAUSTED;
        }
        placed = true;
    }
    NRL_TRACE("getting msg to send\n");
    unsigned char* buf = session->sndbuf;
    // A message built in place (NRLSendBuffer) is not copied again.
    if (!placed && data_len != 0 && data != buf + kMsgHdrSize) std::memmove(buf + kMsgHdrSize, data, data_len);
    EncodeMsgHdr(msg_hdr{type, 0, size}, std::span<unsigned char, kMsgHdrSize>(buf, kMsgHdrSize));

    NRL_TRACE("calling loop_t_snd(%d)\n", static_cast<int>(total));
    NRL_TRACE("        session->max_tsnd=%d\n", static_cast<int>(session->max_tsnd));
    const unsigned piece = session->max_tsnd != 0 ? session->max_tsnd : static_cast<unsigned>(kMaxTliSend);
    uint16_t result = NRL_SUCCESS;
    unsigned unsent = loop_t_snd(session->tlifd, buf, total, piece);
    if (unsent != 0) {
        note_send_failed(session);
        nrl_error("NRLSender: send returned %d\n", static_cast<int>(unsent));
        result = COMM_FAILURE;
    }
    if (type == NRL_ABORT) result = DEAD_SESSION;
    NRL_TRACE("MsgSender returning %d\n", result);
    return result;
}

namespace {

// The frame of a send that bypasses the send buffer: the session's use, the
// dying check and the traces of NRLSendMessage around `send`, which puts the
// message of size bytes on the connection and returns the bytes it left unsent.
template <typename Send>
uint16_t SendInUse(NRL_SESSION* session, uint16_t size, Send send) {
    uint16_t result = NRL_SUCCESS;
    if (session->dying != 0) {
        NRL_TRACE("NRLSendMessage returning DEAD_SESSION\n");
        result = DEAD_SESSION;
    } else if (refuse_after_failed_send(session)) {
        result = COMM_FAILURE;
    } else {
        NRL_TRACE("NRLSendMessage: data_size=%d\n", size);
        NRL_TRACE("calling loop_t_snd(%d)\n", static_cast<int>(size + kMsgHdrSize));
        const unsigned unsent = send();
        if (unsent != 0) {
            note_send_failed(session);
            nrl_error("NRLSender: send returned %d\n", static_cast<int>(unsent));
            result = COMM_FAILURE;
        }
        NRL_TRACE("MsgSender returning %d\n", result);
    }
    ReleaseSession(session, "Send");
    return result;
}

}  // namespace

uint16_t NRLSendMessageInsert(NRL_SESSION* session, const void* data, uint16_t size, const void* insert,
                              uint16_t insert_at, uint16_t insert_len) {
    if (size == 0 || size > kMaxNrlData || data == nullptr || (insert_len != 0 && insert == nullptr) ||
        static_cast<unsigned>(insert_at) + insert_len > size || UseSession(session, "SendMsg") == 0) {
        NRL_TRACE("NRLSendMessage returning INVALID_PARAM\n");
        return INVALID_PARAM;
    }
    return SendInUse(session, size, [&] {
        unsigned char header[kMsgHdrSize];
        EncodeMsgHdr(msg_hdr{NRL_DATA, 0, size}, std::span<unsigned char, kMsgHdrSize>(header, kMsgHdrSize));
        const auto* bytes = static_cast<const unsigned char*>(data);
        const unsigned after = insert_at + insert_len;
        iovec iov[4] = {
            {header, kMsgHdrSize},
            {const_cast<unsigned char*>(bytes), insert_at},
            {const_cast<void*>(insert), insert_len},
            {const_cast<unsigned char*>(bytes + after), size - after},
        };
        return loop_t_sndv(session->tlifd, iov, 4);
    });
}

uint16_t NRLSendMessageSpliced(NRL_SESSION* session, const void* data, uint16_t head_len, int pipe_rd,
                               uint16_t pipe_len) {
    const unsigned size = static_cast<unsigned>(head_len) + pipe_len;
    if (size == 0 || size > kMaxNrlData || (head_len != 0 && data == nullptr) || (pipe_len != 0 && pipe_rd < 0) ||
        UseSession(session, "SendMsg") == 0) {
        NRL_TRACE("NRLSendMessage returning INVALID_PARAM\n");
        return INVALID_PARAM;
    }
    return SendInUse(session, static_cast<uint16_t>(size), [&] {
        unsigned char header[kMsgHdrSize];
        EncodeMsgHdr(msg_hdr{NRL_DATA, 0, static_cast<uint16_t>(size)},
                     std::span<unsigned char, kMsgHdrSize>(header, kMsgHdrSize));
        iovec iov[2] = {
            {header, kMsgHdrSize},
            {const_cast<void*>(data), head_len},
        };
        // The headers wait for the data so that both leave in the same segments.
        unsigned unsent = loop_t_sndv(session->tlifd, iov, 2, pipe_len != 0);
        if (unsent != 0) return unsent + pipe_len;
        return loop_t_splice(session->tlifd, pipe_rd, pipe_len);
    });
}

uint16_t NRLSendMessage(NRL_SESSION* session, uint32_t, const void* data, uint16_t size, NRLSendComplete) {
    if (size == 0 || UseSession(session, "SendMsg") == 0) {
        NRL_TRACE("NRLSendMessage returning INVALID_PARAM\n");
        return INVALID_PARAM;
    }
    uint16_t result;
    if (session->dying != 0) {
        NRL_TRACE("NRLSendMessage returning DEAD_SESSION\n");
        result = DEAD_SESSION;
    } else {
        NRL_TRACE("NRLSendMessage: data_size=%d\n", size);
        result = NRLMessageSender(session, NRL_DATA, data, size);
    }
    ReleaseSession(session, "Send");
    return result;
}

namespace {

// Where one receive puts the bytes of the stream: the 4 header bytes, then
// the caller's buffer. `have` counts the bytes placed so far.
struct ReceiveTarget {
    unsigned char* header;
    unsigned char* data;
    unsigned data_room;
    unsigned have = 0;

    unsigned room() const { return static_cast<unsigned>(kMsgHdrSize) + data_room; }
    // Copies from bytes into the next free places; returns how many fitted.
    unsigned put(const unsigned char* bytes, unsigned n) {
        unsigned taken = 0;
        while (taken < n && have < room()) {
            if (have < kMsgHdrSize) {
                header[have++] = bytes[taken++];
            } else {
                unsigned k = std::min(n - taken, room() - have);
                std::memcpy(data + (have - kMsgHdrSize), bytes + taken, k);
                have += k;
                taken += k;
            }
        }
        return taken;
    }
};

// Moves bytes carried over from the last receive into place, up to want
// bytes in all: the carried bytes come first in the stream.
void take_carry(NRL_SESSION* session, ReceiveTarget& t, unsigned want) {
    if (session->rcv_carry_len == 0 || t.have >= want) return;
    const unsigned n = std::min<unsigned>(session->rcv_carry_len, want - t.have);
    const unsigned used = t.put(session->rcv_carry + session->rcv_carry_pos, n);
    session->rcv_carry_pos += used;
    session->rcv_carry_len -= used;
    if (session->rcv_carry_len == 0) session->rcv_carry_pos = 0;
}

// Reads from the connection until at least `want` bytes are placed, each read
// taking whatever has arrived up to the whole room. Carried bytes are used
// first; the connection is read only once they are gone. False when the
// connection failed or closed first, or stayed silent past the session's
// idle limit.
bool fill(NRL_SESSION* session, ReceiveTarget& t, unsigned want) {
    take_carry(session, t, want);
    while (t.have < want) {
        iovec iov[2];
        int count = 0;
        if (t.have < kMsgHdrSize) iov[count++] = iovec{t.header + t.have, kMsgHdrSize - t.have};
        unsigned data_have = t.have > kMsgHdrSize ? t.have - static_cast<unsigned>(kMsgHdrSize) : 0;
        if (t.data_room > data_have) iov[count++] = iovec{t.data + data_have, t.data_room - data_have};
        if (session->rcv_idle_limit != 0 && !EndpointReadyWithin(session->tlifd, true, session->rcv_idle_limit)) {
            NRL_TRACE("nothing received for %u seconds\n", static_cast<unsigned>(session->rcv_idle_limit));
            session->rcv_idle_expired = 1;
            return false;
        }
        int n = t_rcvv_v(session->tlifd, iov, count);
        check_tli("rcv", session->tlifd, n);
        // Closed before the first byte of a message: the peer is done.
        if (n == 0 && t.have == 0) session->rcv_peer_end = NRL_PEER_CLOSED;
        if (n <= 0) return false;
        t.have += static_cast<unsigned>(n);
    }
    return true;
}

// Bytes read past the end of the message (at data + used) belong to the
// messages after it: keep them for the next receive. The connection is read
// only when nothing is carried, so they are all there is. False when memory
// runs out.
bool keep_excess(NRL_SESSION* session, const ReceiveTarget& t, unsigned message_bytes) {
    if (t.have <= message_bytes) return true;
    const unsigned excess = t.have - message_bytes;
    const unsigned char* from = t.data + (message_bytes - kMsgHdrSize);
    if (excess > session->rcv_carry_size) {
        auto* bigger = static_cast<unsigned char*>(MYMALLOC(excess));
        if (bigger == nullptr) return false;
        if (session->rcv_carry != nullptr) MYFREE(session->rcv_carry);
        session->rcv_carry = bigger;
        session->rcv_carry_size = excess;
    }
    std::memcpy(session->rcv_carry, from, excess);
    session->rcv_carry_pos = 0;
    session->rcv_carry_len = excess;
    return true;
}

}  // namespace

uint16_t NRLReceiveMessage(NRL_SESSION* session, void* buffer, uint16_t buffer_size, uint32_t,
                           NRLRecvComplete complete) {
    NRL_TRACE("Rcv ");
    if (UseSession(session, "RcvMsg") == 0) return INVALID_PARAM;
    if (session->dying != 0) {
        NRL_TRACE("can't receive because session dying\n");
        ReleaseSession(session, "RcvMsg");
        return DEAD_SESSION;
    }

    auto* data = static_cast<unsigned char*>(buffer);
    uint16_t status = NRL_SUCCESS;
    uint16_t length = 0;
    NRL_TRACE("waiting for msg on %d\n", session->tlifd);
    unsigned char wire[kMsgHdrSize];
    // Header and data in one read: with one request in flight the whole
    // message is usually there by the time the header is.
    ReceiveTarget target{wire, data, buffer_size};
    bool whole = fill(session, target, kMsgHdrSize);
    NRL_TRACE("t_rcv_v returned %d\n", static_cast<int>(std::min<unsigned>(target.have, kMsgHdrSize)));
    if (!whole) {
        NRL_TRACE("sizeof( msg_hdr ) = %d\n", static_cast<int>(kMsgHdrSize));
        status = COMM_FAILURE;
    } else {
        msg_hdr hdr = DecodeMsgHdr(wire);
        NRL_TRACE("msg_hdr.type = %d\n", hdr.type);
        unsigned message_bytes = kMsgHdrSize;
        if (hdr.type == NRL_DEALLOC) {
            session->rcv_peer_end = NRL_PEER_DEALLOC;
            status = hdr.size != 0 ? hdr.size : static_cast<uint16_t>(DEAD_SESSION);
        } else if (hdr.type == NRL_DATA) {
            uint16_t amount = std::min(hdr.size, buffer_size);
            message_bytes += amount;
            NRL_TRACE("waiting to t_rcv_v data (%d bytes)\n", amount);
            // Mostly the first read brought the whole message.
            whole = target.have >= message_bytes || fill(session, target, message_bytes);
            NRL_TRACE("t_rcv_v for data returned %d\n",
                      static_cast<int>(std::min(target.have, message_bytes) - kMsgHdrSize));
            if (!whole) {
                status = COMM_FAILURE;
            } else {
                if (nrl_debug_flag != 0) {
                    char head[11] = {};
                    std::memcpy(head, data, std::min<size_t>(amount, 10));
                    nrl_trace("msg after t_rcv_v = <%-10.10s>\n", head);
                }
                length = amount;
                if (hdr.size > buffer_size) status = MSG_TRUNCATED;
            }
        }
        // Any other type arrives as an empty message.
        if (whole && !keep_excess(session, target, message_bytes)) {
            // The bytes of the next message cannot be kept: the stream is lost.
            NRL_TRACE("no memory to keep %d bytes received early\n", static_cast<int>(target.have - message_bytes));
            status = RESOURCE_EXHAUSTED;
        }
    }

    if (complete != nullptr) {
        NRL_TRACE("RecvCmpt() ");
        complete(session, status, data, length);
    }
    ReleaseSession(session, "RcvMsg");
    if (status != NRL_SUCCESS) {
        NRL_TRACE("ReceiveMessageThread KillingSession\n");
        KillSession(session);
    }
    NRL_TRACE("NRLReceiveMsg returning %d\n", 0);
    return NRL_SUCCESS;
}
