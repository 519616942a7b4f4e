// The reply path of every request handler: encode the reply once, straight
// into the buffer that goes to the socket behind the NRL header, and send
// header and body in one transfer.
#include <algorithm>

#include "grfs/message_trace.h"
#include "grfs/messages.h"
#include "grfs/xdr.h"
#include "nrl/nrl_function_table.h"
#include "nrl/nrl_session.h"
#include "unixfs/grfs_session.h"
#include "util/debug_print.h"

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

// Encodes message into out (room bytes) and returns the number of bytes
// to send: the coder's body count plus the header, never more than were
// actually encoded.
int encode_reply(GRFS_MESSAGE* message, int body_size, unsigned char* out, int room) {
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
    const int limit = std::clamp(body_size + GRFS_MSG_HEADER_SIZE + 100, GRFS_MSG_HEADER_SIZE, room);
    grfs_set_xdr_buffer(&xdr, out, limit);
    const int count = grfs_xdr_message(&xdr, message, body_size);
    if (count != body_size) {
        DEBUG_PRINTF(DBG_CONFIG, "SendMessage(%s): amount_sent(%d) != spec_size(%d)\n",
                     type_to_str(message->hdr.msg_type), count, body_size);
    }
    const int encoded = grfs_get_xdr_length(&xdr);
    const int stated = count < 0 ? GRFS_MSG_HEADER_SIZE : count + GRFS_MSG_HEADER_SIZE;
    return std::min(stated, encoded);
}

}  // namespace

int SendMessage(GRFS_SESSION* ses, GRFS_MESSAGE* message, int body_size) {
    DEBUG_PRINTF(DBG_MESSAGE, "SendMessage %s (%d bytes) retcode %d\n", type_to_str(message->hdr.msg_type),
                 body_size + GRFS_MSG_HEADER_SIZE, message->hdr.retcode);
    if (grfs_debug != 0) print_message(message, body_size);
    ses->last_reply_size = body_size;

    if (ses->reply_sink != nullptr) {
        const int length = encode_reply(message, body_size, sink_buffer, kReplyRoom);
        return ses->reply_sink(ses, std::span<const unsigned char>(sink_buffer, static_cast<size_t>(length))) != 0
                   ? 1
                   : 0;
    }
    if (ses->nrl_session == nullptr) return 0;

    // The session's send buffer only grows, so after the first reply this
    // allocates nothing. nrl_session is never left pointing at a freed
    // record: the session's deallocation routine clears it.
    const NRL_FUNC_TABLE* nrl = nrl_table();
    unsigned char* out = NRLSendBuffer(ses->nrl_session, kReplyRoom);
    // Without memory for it the layer tries again and reports the outcome.
    if (out == nullptr) out = sink_buffer;
    const int length = encode_reply(message, body_size, out, kReplyRoom);
    ses->send_state = kSendHandedOver;
    uint16_t rc = nrl->NRLSendMessage(ses->nrl_session, 0, out, static_cast<uint16_t>(length), SendCompleteFunc);
    return rc != 0 ? 1 : 0;
}

void SendCompleteFunc(NRL_SESSION* session, uint16_t status) {
    auto* ses = static_cast<GRFS_SESSION*>(nrl_table()->NRLGetSessionApplicationPtr(session));
    if (ses != nullptr) ses->send_state = status == 0 ? kSendDone : kSendFailed;
}
