// ProcessGRFSMsg and the dispatch table: one row per request type that has
// a handler, with the reply type it is answered with.
#include "agent/request_dispatch.h"

#include <array>
#include <climits>
#include <span>
#include <type_traits>

#include "grfs/message_trace.h"
#include "grfs/messages.h"
#include "unixfs/requests/attach.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/requests/change_dir.h"
#include "unixfs/requests/delete_object.h"
#include "unixfs/requests/detach.h"
#include "unixfs/requests/dle_listing.h"
#include "unixfs/requests/find.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/requests/get_info.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/requests/object_create.h"
#include "unixfs/requests/object_write.h"
#include "unixfs/requests/open_object.h"
#include "unixfs/requests/read_object.h"
#include "unixfs/tree/restore_target.h"
#include "unixfs/requests/seek_object.h"
#include "unixfs/requests/set_info.h"
#include "unixfs/requests/verify_info.h"
#include "util/debug_print.h"

namespace {

using RequestHandler = int (*)(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length, int type);

// Adapts a handler of any of the three shapes the handlers come in to the
// table's: (ses, req, length, type), (ses, req, length) or (ses, req).
template <auto Handler>
int call(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length, int type) {
    using F = decltype(Handler);
    if constexpr (std::is_invocable_v<F, GRFS_SESSION*, GRFS_MESSAGE*, int, int>)
        return Handler(ses, req, length, type);
    else if constexpr (std::is_invocable_v<F, GRFS_SESSION*, GRFS_MESSAGE*, int>)
        return Handler(ses, req, length);
    else
        return Handler(ses, req);
}

// The two verify requests are confirmed without touching any file; they
// differ only in the widths of size and blk_size.
int VerifyRequest(GRFS_SESSION* ses, GRFS_MESSAGE* req, bool large) {
    const uint32_t size = large ? req->body.write_obj_large.size : req->body.write_obj.size;
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, large ? GRFS_VERIFY_OBJ_LARGE_STAT : GRFS_VERIFY_OBJ_STAT);
    if (large) {
        reply->body.write_obj_large_stat.size = size;
        reply->body.write_obj_large_stat.blk_size = 1;
    } else {
        reply->body.write_obj_stat.size = static_cast<uint16_t>(size);
        reply->body.write_obj_stat.blk_size = 1;
    }
    return SendMessage(ses, reply, large ? 8 : 4);
}

int VerifyObject(GRFS_SESSION* ses, GRFS_MESSAGE* req) { return VerifyRequest(ses, req, false); }

int VerifyObjectLarge(GRFS_SESSION* ses, GRFS_MESSAGE* req) { return VerifyRequest(ses, req, true); }

// Whether a request changes the export, so that a write-protected export
// refuses it here, before its handler runs. A kind other than kNone also
// says what the handler would have answered ahead of the refusal, so that
// exactly those requests are refused that were refused before.
enum class Change : uint8_t {
    kNone,             // reads, or needs an object opened for writing first
    kAlways,           // create, delete
    kUnlessCtimeKept,  // set-info: a backup keeping ctime gets its no-op answer
    kWriteOpen,        // open in WRITE mode of a file or directory block
};

struct DispatchEntry {
    uint8_t reply_type = 0;            // 0: the type gets no reply
    RequestHandler handler = nullptr;
    Change change = Change::kNone;
};

constexpr int kTableSize = GRFS_GET_INFO + 1;

// Types 0, 21 to 23 and everything past 29 have no row: no reply.
constexpr std::array<DispatchEntry, kTableSize> kDispatch = [] {
    std::array<DispatchEntry, kTableSize> t{};
    t[GRFS_ATTACH_DLE] = {GRFS_ATTACH_DLE_STAT, &call<AttachDLE>};
    t[GRFS_FIND_FIRST_DLE] = {GRFS_FIND_DLE_STAT, &call<FindDLE>};
    t[GRFS_FIND_NEXT_DLE] = {GRFS_FIND_DLE_STAT, &call<FindDLE>};
    t[GRFS_DETACH_DLE] = {GRFS_DETACH_DLE_STAT, &call<DetachDLE>};
    t[GRFS_FIND_FIRST_OBJ] = {GRFS_FIND_OBJ_STAT, &call<FindObject>};
    t[GRFS_FIND_NEXT_OBJ] = {GRFS_FIND_OBJ_STAT, &call<FindObject>};
    t[GRFS_FIND_CLOSE] = {GRFS_FIND_CLOSE_STAT, &call<FindClose>};
    t[GRFS_CREATE_OBJ] = {GRFS_CREATE_OBJ_STAT, &call<CreateObject>, Change::kAlways};
    t[GRFS_OPEN_OBJ] = {GRFS_OPEN_OBJ_STAT, &call<OpenObject>, Change::kWriteOpen};
    t[GRFS_READ_OBJ] = {GRFS_READ_OBJ_STAT, &call<ReadObject>};
    t[GRFS_WRITE_OBJ] = {GRFS_WRITE_OBJ_STAT, &call<WriteObject>};
    t[GRFS_SEEK_OBJ] = {GRFS_SEEK_OBJ_STAT, &call<SeekObject>};
    t[GRFS_VERIFY_OBJ] = {GRFS_VERIFY_OBJ_STAT, &call<VerifyObject>};
    t[GRFS_CLOSE_OBJ] = {GRFS_CLOSE_OBJ_STAT, &call<CloseObject>};
    t[GRFS_DELETE_OBJ] = {GRFS_DELETE_OBJ_STAT, &call<DeleteObject>, Change::kAlways};
    t[GRFS_GET_OBJ_INFO] = {GRFS_GET_OBJ_INFO_STAT, &call<GetObjectInfo>};
    t[GRFS_VERIFY_OBJ_INFO] = {GRFS_VERIFY_OBJ_INFO_STAT, &call<VerifyObjectInfo>};
    t[GRFS_CHANGE_DIR] = {GRFS_CHANGE_DIR_STAT, &call<ChangeDir>};
    t[GRFS_GET_CUR_DDB] = {GRFS_GET_CUR_DDB_STAT, &call<GetCurrentDDB>};
    t[GRFS_SET_OBJ_INFO] = {GRFS_SET_OBJ_INFO_STAT, &call<SetObjectInfo>, Change::kUnlessCtimeKept};
    t[GRFS_PREPARE_DBLK] = {GRFS_PREPARE_DBLK_STAT, &call<PrepareDblk>};
    t[GRFS_READ_OBJ_LARGE] = {GRFS_READ_OBJ_LARGE_STAT, &call<ReadObjectLarge>};
    t[GRFS_WRITE_OBJ_LARGE] = {GRFS_WRITE_OBJ_LARGE_STAT, &call<WriteObjectLarge>};
    t[GRFS_SEEK_OBJ_LARGE] = {GRFS_SEEK_OBJ_LARGE_STAT, &call<SeekObjectLarge>};
    t[GRFS_VERIFY_OBJ_LARGE] = {GRFS_VERIFY_OBJ_LARGE_STAT, &call<VerifyObjectLarge>};
    t[GRFS_GET_INFO] = {GRFS_GET_INFO_STAT, &call<GetInfo>};
    return t;
}();

const DispatchEntry* find_entry(int type) {
    if (type < 0 || type >= kTableSize || kDispatch[type].handler == nullptr) return nullptr;
    return &kDispatch[type];
}

// Wire bytes ahead of the data of the two verify requests: header, obj_id,
// offset, stream header and size.
constexpr size_t kVerifyFixedBytes = GRFS_MSG_HEADER_SIZE + 4 + 4 + 16 + 2;
constexpr size_t kVerifyLargeFixedBytes = GRFS_MSG_HEADER_SIZE + 4 + 8 + 16 + 4;

// The verify requests are answered from their fixed fields alone and their
// data is never read, so data short of their size does not stop them; they
// are refused only when the fields themselves did not arrive.
bool answerable(int type, GrfsCodeStatus status, size_t received) {
    if (status == GRFS_CODE_COMPLETE) return true;
    if (type == GRFS_VERIFY_OBJ) return received >= kVerifyFixedBytes;
    if (type == GRFS_VERIFY_OBJ_LARGE) return received >= kVerifyLargeFixedBytes;
    return false;
}

// A request that did not arrive whole, or whose length fields claim more
// than arrived or than fits, never reaches its handler.
int reject_malformed(GRFS_SESSION* ses, const GRFS_MESSAGE* req, uint8_t reply_type) {
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, reply_type);
    reply->hdr.retcode = GRFS_RC_INVALID_REQUEST;
    SendMessage(ses, reply, 0);
    return 0;
}

// True when the request would change a write-protected export and its
// handler would have got as far as refusing it: the attachment is valid
// (else GRFS_RC_BAD_DLE_HANDLE comes first), a backup keeping ctime is
// answered 0 by set-info, and an open is refused only once it holds a handle
// (else GRFS_RC_NO_MEMORY) for a file or directory block (else
// GRFS_RC_WRONG_DBLK_TYPE).
bool refused_as_change(const GRFS_SESSION* ses, const GRFS_MESSAGE* req, Change change) {
    if (change == Change::kNone) return false;
    const uint32_t dle_id = change == Change::kWriteOpen ? req->body.open_obj.dle_id : req->body.dblk_req.dle_id;
    const DRVDLE* drvdle = LookupDrvdle(ses, dle_id);
    if (drvdle == nullptr || !ExportWriteProtected(drvdle)) return false;
    switch (change) {
        case Change::kUnlessCtimeKept:
            return (drvdle->attach_reason & kAttachReasonRestore) != 0 || ses->ws->preserve_ctime == 0;
        case Change::kWriteOpen: {
            const uint8_t dblk_type = req->body.open_obj.dblk.dblk_type;
            return req->body.open_obj.mode == OPEN_MODE_WRITE && (dblk_type == DDB_ID || dblk_type == FDB_ID) &&
                   ses->handles->in_use < kMaxSessionHandles;
        }
        default:
            return true;
    }
}

// The refusal, as the handler sent it: an open's reply carries obj_id 0.
int refuse_change(GRFS_SESSION* ses, const GRFS_MESSAGE* req, const DispatchEntry& entry) {
    if (entry.change != Change::kWriteOpen) {
        return AnswerRetcode(ses, req->hdr.request_id, entry.reply_type, GRFS_RC_ACCESS_DENIED);
    }
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, entry.reply_type);
    reply->hdr.retcode = GRFS_RC_ACCESS_DENIED;
    reply->body.open_obj_stat.obj_id = 0;
    return SendMessage(ses, reply, 4) != 0 ? 1 : GRFS_RC_ACCESS_DENIED;
}

}  // namespace

uint8_t DispatchReplyType(uint8_t request_type) {
    const DispatchEntry* entry = find_entry(request_type);
    return entry != nullptr ? entry->reply_type : 0;
}

int ProcessGRFSMsg(GRFS_SESSION* ses, unsigned char* buffer, int length) {
    DEBUG_PRINTF(DBG_MESSAGE, "\nProcessGRFSMsg (%d bytes)\n", length);
    // Always decoded: the received bytes are never used as a record.
    auto* req = reinterpret_cast<GRFS_MESSAGE*>(ses->coding_buf);
    int body_length = 0;
    const size_t received = length > 0 ? static_cast<size_t>(length) : 0;
    // A write's data stays in the receive buffer: it goes to the file from
    // there, without a copy into the record.
    std::span<const unsigned char> data;
    const GrfsCodeStatus status =
        grfs_decode_request(std::span<const unsigned char>(buffer, received), req, &body_length, &data);
    const int type = req->hdr.msg_type;
    // A length field may claim a body of up to INT_MAX bytes; the traced
    // length must not overflow with the header added.
    const int msg_len =
        body_length > INT_MAX - GRFS_MSG_HEADER_SIZE ? INT_MAX : body_length + GRFS_MSG_HEADER_SIZE;
    DEBUG_PRINTF(DBG_CONFIG, "Decoded message: msg_len=%d cmd=%s\n", msg_len, type_to_str(type));
    if (grfs_debug != 0) print_message(req, body_length);

    const DispatchEntry* entry = find_entry(type);
    if (entry == nullptr) return 0;
    if (!answerable(type, status, received)) return reject_malformed(ses, req, entry->reply_type);
    if (refused_as_change(ses, req, entry->change)) return refuse_change(ses, req, *entry);
    ses->request_data = data.empty() ? nullptr : data.data();
    ses->request_data_len = static_cast<uint32_t>(data.size());
    const int result = entry->handler(ses, req, length, type);
    ses->request_data = nullptr;
    ses->request_data_len = 0;
    return result;
}
