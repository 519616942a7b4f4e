// Coding of a whole GRFS message: header, then the body layout of its type.
#include "grfs/messages.h"

#include <climits>
#include <cstddef>
#include <initializer_list>
#include <cstring>

#include "grfs/message_layouts.h"
#include "util/debug_print.h"

int body_length_plus(long long constant, long long count) {
    long long n = constant + count;
    if (n > INT_MAX) return INT_MAX;
    if (n < INT_MIN) return INT_MIN;
    return static_cast<int>(n);
}

int clamp_count(unsigned long long count) {
    return count > static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}

int grfs_xdr_message(GRFS_XDR* xdr, GRFS_MESSAGE* msg, int spec_msg_size, GrfsCodeStatus* status) {
    // The fault flags say how this run went; the caller's earlier ones are
    // kept.
    const bool was_overrun = xdr->overrun, was_oversized = xdr->oversized, was_short = xdr->short_dblk;
    xdr->overrun = xdr->oversized = xdr->short_dblk = false;

    grfs_xdr_INT8(xdr, &msg->hdr.msg_type);
    grfs_xdr_INT8(xdr, &msg->hdr.msg_reserved);
    grfs_xdr_NET16(xdr, &msg->hdr.retcode);
    grfs_xdr_NET32(xdr, &msg->hdr.request_id);
    DEBUG_PRINTF(DBG_CONFIG, "grfs_xdr_message: spec_msg_size=%d msg_type=0x%x\n", spec_msg_size,
                 msg->hdr.msg_type);

    int length = spec_msg_size;
    if (spec_msg_size != 0) {
        const int type = msg->hdr.msg_type;
        if (type < GRFS_REPLY_OFFSET) {
            if (!code_request_body(xdr, msg, &length)) length = spec_msg_size;
        } else {
            if (!code_reply_body(xdr, msg, &length)) length = spec_msg_size;
        }
    }

    if (status != nullptr) {
        if (xdr->oversized)
            *status = GRFS_CODE_OVERSIZED;
        else if (xdr->overrun || xdr->short_dblk)
            *status = GRFS_CODE_INCOMPLETE;
        else
            *status = GRFS_CODE_COMPLETE;
    }
    xdr->overrun = xdr->overrun || was_overrun;
    xdr->oversized = xdr->oversized || was_oversized;
    xdr->short_dblk = xdr->short_dblk || was_short;
    return length;
}

namespace {

constexpr size_t max_size(std::initializer_list<size_t> sizes) {
    size_t m = 0;
    for (size_t s : sizes) m = s > m ? s : m;
    return m;
}

// Every fixed field of every request body: the whole body of the types
// without a data array or block, everything ahead of the data array of the
// others, and a block's fixed part. Data arrays and a block's variable area
// are read only as far as their length fields reach, which the decoder
// fills from the received bytes.
constexpr size_t kRequestFixedBytes =
    offsetof(GRFS_MESSAGE, body) +
    max_size({sizeof(GRFS_ATTACH_DLE_BODY), sizeof(GRFS_DLE_REQ_BODY), sizeof(GRFS_FIND_FIRST_OBJ_BODY),
              offsetof(GRFS_DBLK_REQ_BODY, dblk) + GRFS_DBLK_NET_SIZE,
              offsetof(GRFS_OPEN_OBJ_BODY, dblk) + GRFS_DBLK_NET_SIZE, sizeof(GRFS_READ_OBJ_BODY),
              offsetof(GRFS_WRITE_OBJ_BODY, data), sizeof(GRFS_SEEK_OBJ_BODY), sizeof(GRFS_CLOSE_OBJ_BODY),
              offsetof(GRFS_CHANGE_DIR_BODY, net_path), sizeof(GRFS_READ_OBJ_LARGE_BODY),
              offsetof(GRFS_WRITE_OBJ_LARGE_BODY, data), sizeof(GRFS_SEEK_OBJ_LARGE_BODY),
              sizeof(GRFS_GET_INFO_BODY)});
static_assert(kRequestFixedBytes <= sizeof(GRFS_MESSAGE));

// The data array of a write request of the type that received starts with,
// or null.
const void* write_data_array(std::span<const unsigned char> received, const GRFS_MESSAGE* msg) {
    if (received.empty()) return nullptr;
    switch (request_body(received[0])) {
    case RequestBody::write_obj:
        return msg->body.write_obj.data;
    case RequestBody::write_obj_large:
        return msg->body.write_obj_large.data;
    default:
        return nullptr;
    }
}

}  // namespace

GrfsCodeStatus grfs_decode_request(std::span<const unsigned char> received, GRFS_MESSAGE* msg,
                                   int* body_length, std::span<const unsigned char>* data) {
    // A field the sender did not supply stays zero rather than keeping a
    // value of an earlier request (a stale length would misreport a short
    // request as an oversized one). Clearing the fixed fields suffices; the
    // whole record (tens of kilobytes) would cost more than most requests.
    std::memset(msg, 0, kRequestFixedBytes);
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_DECODE);
    // Decoding only reads the buffer; the coder's pointer is shared with
    // encoding, hence not const.
    const int size = clamp_count(received.size());
    grfs_set_xdr_buffer(&xdr, const_cast<unsigned char*>(received.data()), size);
    if (data != nullptr) xdr.view_array = write_data_array(received, msg);
    GrfsCodeStatus status = GRFS_CODE_COMPLETE;
    int length = grfs_xdr_message(&xdr, msg, size, &status);
    if (body_length != nullptr) *body_length = length;
    if (data != nullptr) {
        *data = xdr.deferred_at >= 0 ? received.subspan(static_cast<size_t>(xdr.deferred_at),
                                                        static_cast<size_t>(xdr.deferred_len))
                                     : std::span<const unsigned char>();
    }
    return status;
}
