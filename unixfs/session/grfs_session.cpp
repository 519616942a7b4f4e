// The reply path of every request handler: encode the reply once, straight
// into the buffer that goes to the socket behind the NRL header, and send
// header and body in one transfer.
#include <algorithm>
#include <cstring>

#include "grfs/message_trace.h"
#include "grfs/messages.h"
#include "grfs/xdr.h"
#include "nrl/nrl_function_table.h"
#include "nrl/nrl_session.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/session_tally.h"
#include "unixfs/session/workstation.h"
#include "util/debug_print.h"
#include "util/splice_pipe.h"

namespace {

// One encoded reply: the largest message and the coder's slack.
constexpr int kReplyRoom = GRFS_MAX_MSG_SIZE + 100;

constexpr uint16_t kSendHandedOver = 32;
constexpr uint16_t kSendDone = 33;
constexpr uint16_t kSendFailed = 34;

// Replies for a sink are encoded here: the decoded request stays intact in
// coding_buf, as it does when the reply goes to the network.
unsigned char sink_buffer[kReplyRoom];

const NRL_FUNC_TABLE* nrl_table() {
    return gb_NRL_function_table_ptr != nullptr ? gb_NRL_function_table_ptr : NRLGetFunctionTablePtr();
}

// Where the deferred data array of an encoded reply belongs.
struct DeferredData {
    int at = -1;
    int len = 0;
};

// Encodes message into out (room bytes) and returns the number of bytes
// to send: the coder's body count plus the header. Where that stated length
// runs past the last coded field (the attach reply states 3 bytes more than
// it codes), the bytes up to it are zeroed here, so a reply never carries a
// stale byte of the buffer. The array `defer` (when set) is left out of out;
// its place is noted in deferred.
int encode_reply(GRFS_MESSAGE* message, int body_size, unsigned char* out, int room, const void* defer = nullptr,
                 DeferredData* deferred = nullptr) {
    GRFS_XDR xdr{};
    xdr.defer_array = defer;
    grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
    const int limit = std::clamp(body_size + GRFS_MSG_HEADER_SIZE + 100, GRFS_MSG_HEADER_SIZE, room);
    grfs_set_xdr_buffer(&xdr, out, limit);
    const int count = grfs_xdr_message(&xdr, message, body_size);
    if (count != body_size) {
        DEBUG_PRINTF(DBG_CONFIG, "SendMessage(%s): amount_sent(%d) != spec_size(%d)\n",
                     type_to_str(message->hdr.msg_type), count, body_size);
    }
    const int encoded = std::min(grfs_get_xdr_length(&xdr), room);
    const long long stated = count < 0 ? GRFS_MSG_HEADER_SIZE : static_cast<long long>(count) + GRFS_MSG_HEADER_SIZE;
    const int length = static_cast<int>(std::min<long long>(stated, room));
    if (length > encoded) std::memset(out + encoded, 0, static_cast<size_t>(length - encoded));
    if (deferred != nullptr && xdr.deferred_at >= 0 && xdr.deferred_at < length) {
        deferred->at = xdr.deferred_at;
        deferred->len = std::min(xdr.deferred_len, length - xdr.deferred_at);
    }
    return length;
}

// The bulk data of a reply copied into the record's data array after all.
void CopyIntoRecord(char* field, const unsigned char* data, uint32_t len) {
    if (len != 0 && field != reinterpret_cast<const char*>(data)) std::memcpy(field, data, len);
}

}  // namespace

void SetReplyData(GRFS_SESSION* ses, char* field, const unsigned char* data, uint32_t len) {
    ses->reply_data_field = nullptr;
    ses->reply_data = nullptr;
    ses->reply_pipe = nullptr;
    ses->reply_data_len = 0;
    if (len == 0) return;
    if (grfs_debug != 0) {
        CopyIntoRecord(field, data, len);
        return;
    }
    ses->reply_data_field = field;
    ses->reply_data = data;
    ses->reply_data_len = len;
}

void SetReplyPipe(GRFS_SESSION* ses, char* field, SplicePipe* pipe, uint32_t len) {
    SetReplyData(ses, field, nullptr, 0);
    if (len == 0) return;
    if (grfs_debug != 0 || ses->reply_sink != nullptr || ses->nrl_session == nullptr) {
        pipe->Drain(field, len);
        return;
    }
    ses->reply_data_field = field;
    ses->reply_pipe = pipe;
    ses->reply_data_len = len;
}

GRFS_MESSAGE* StartReply(GRFS_SESSION* ses, uint32_t request_id, uint8_t reply_type) {
    GRFS_MESSAGE* reply = ses->reply;
    reply->hdr.msg_type = reply_type;
    reply->hdr.msg_reserved = 0;
    reply->hdr.retcode = GRFS_RC_SUCCESS;
    reply->hdr.request_id = request_id;
    return reply;
}

int AnswerRetcode(GRFS_SESSION* ses, uint32_t request_id, uint8_t reply_type, int rc) {
    GRFS_MESSAGE* reply = StartReply(ses, request_id, reply_type);
    reply->hdr.retcode = static_cast<int16_t>(rc);
    if (SendMessage(ses, reply, 0) != 0) return 1;
    return rc;
}

int SendMessage(GRFS_SESSION* ses, GRFS_MESSAGE* message, int body_size) {
    DEBUG_PRINTF(DBG_MESSAGE, "SendMessage %s (%d bytes) retcode %d\n", type_to_str(message->hdr.msg_type),
                 body_size + GRFS_MSG_HEADER_SIZE, message->hdr.retcode);
    if (grfs_debug != 0) print_message(message, body_size);
    // An answer that is no failure (a FIFO's 1) is taken once, whether or
    // not the reply then reaches the peer.
    const bool counts_failure = !ses->reply_no_error;
    ses->reply_no_error = false;
    // Bulk data handed over by SetReplyData belongs to this reply only.
    char* defer = ses->reply_data_field;
    const unsigned char* bulk = ses->reply_data;
    SplicePipe* pipe = ses->reply_pipe;
    const uint32_t bulk_len = ses->reply_data_len;
    ses->reply_data_field = nullptr;
    ses->reply_data = nullptr;
    ses->reply_pipe = nullptr;
    ses->reply_data_len = 0;
    DeferredData deferred;

    if (ses->reply_sink != nullptr || ses->nrl_session == nullptr) {
        // Not for the network: the record is made whole.
        if (defer != nullptr && pipe != nullptr) pipe->Drain(defer, bulk_len);
        if (defer != nullptr && pipe == nullptr) CopyIntoRecord(defer, bulk, bulk_len);
        if (ses->reply_sink == nullptr) {
            TallyReply(ses->tally, message, counts_failure);
            return 0;
        }
        const int length = encode_reply(message, body_size, sink_buffer, kReplyRoom);
        if (ses->reply_sink(ses, std::span<const unsigned char>(sink_buffer, static_cast<size_t>(length))) != 0)
            return 1;
        TallyReply(ses->tally, message, counts_failure);
        return 0;
    }

    // The session's send buffer only grows, so after the first reply this
    // allocates nothing. nrl_session is never left pointing at a freed
    // record: the session's deallocation routine clears it.
    const NRL_FUNC_TABLE* nrl = nrl_table();
    unsigned char* out = NRLSendBuffer(ses->nrl_session, kReplyRoom);
    // Without memory for it the layer tries again and reports the outcome.
    if (out == nullptr) out = sink_buffer;
    int length = encode_reply(message, body_size, out, kReplyRoom, defer, &deferred);
    if (pipe != nullptr && (deferred.at < 0 || deferred.at + deferred.len != length ||
                            static_cast<uint32_t>(deferred.len) != bulk_len)) {
        // The pipe's bytes are not the whole tail of the message: they are
        // taken into the record and the reply is coded again.
        pipe->Drain(defer, bulk_len);
        pipe = nullptr;
        deferred = DeferredData{};
        length = encode_reply(message, body_size, out, kReplyRoom);
    }
    ses->send_state = kSendHandedOver;
    uint16_t rc;
    if (pipe != nullptr) {
        // Header and fields held back for the data, which goes from the
        // page cache to the socket without a copy.
        rc = NRLSendMessageSpliced(ses->nrl_session, out, static_cast<uint16_t>(deferred.at), pipe->read_end(),
                                   static_cast<uint16_t>(deferred.len));
    } else if (deferred.at >= 0) {
        // Header, fields and the bulk data from where it lies: one system
        // call and no copy of the data.
        rc = NRLSendMessageInsert(ses->nrl_session, out, static_cast<uint16_t>(length), bulk,
                                  static_cast<uint16_t>(deferred.at), static_cast<uint16_t>(deferred.len));
    } else {
        rc = nrl->NRLSendMessage(ses->nrl_session, 0, out, static_cast<uint16_t>(length), SendCompleteFunc);
    }
    if (rc != 0) return 1;
    // Counted once the reply is on its way, not when it was made: a peer
    // that takes none of them was delivered none.
    TallyReply(ses->tally, message, counts_failure);
    return 0;
}

void SendCompleteFunc(NRL_SESSION* session, uint16_t status) {
    auto* ses = static_cast<GRFS_SESSION*>(nrl_table()->NRLGetSessionApplicationPtr(session));
    if (ses != nullptr) ses->send_state = status == 0 ? kSendDone : kSendFailed;
}
