#include "unixfs/requests/object_write.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "grfs/dblk.h"
#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/object/host_acl.h"
#include "unixfs/object/object_acl.h"
#include "unixfs/object/object_xattr.h"
#include "unixfs/object/sparse_file.h"
#include "unixfs/object/stream_budget.h"
#include "unixfs/object/xattr_stream.h"
#include "grfs/linux_meta_stream.h"
#include "unixfs/object/object_linux_meta.h"
#include "util/debug_print.h"

namespace {

// Wire bytes of a write body before its data.
constexpr int kWriteHeadBytes = 4 + 4 + 16 + 2;
constexpr int kWriteLargeHeadBytes = 4 + 8 + 16 + 4;

void advance(UINT64* pos, uint32_t count) {
    uint16_t status = 0;
    *pos = U64_Add(*pos, U32_To_U64(count), &status);
}

// False when size claims more bytes than the record holds or (when the
// received length is known) than the request carried.
bool data_present(uint32_t size, int length, int head_bytes) {
    if (size > static_cast<uint32_t>(GRFS_MSG_DATA_MAX)) return false;
    if (length <= 0) return true;
    const int carried = length - GRFS_MSG_HEADER_SIZE - head_bytes;
    return carried >= 0 && size <= static_cast<uint32_t>(carried);
}

// The EA stream: hand the bytes to Unix_WriteEA until all are consumed, it
// fails, or it asks for more.
int write_ea_stream(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count, uint32_t* blk_size) {
    const uint32_t total = *count;
    uint32_t consumed = 0;
    int rc = 0;
    while (consumed < total) {
        uint32_t part = total - consumed;
        rc = Unix_WriteEA(rec, data + consumed, &part, blk_size);
        consumed += part;
        advance(&rec->obj_pos, part);
        if (rc != 0 || *blk_size != 1 || part == 0) break;
    }
    if (consumed != 0) rec->symlink_pending = 1;
    *count = consumed;
    return rc;
}

// The request's data bytes: where the dispatcher left them in the receive
// buffer, else in the record's data array.
const unsigned char* request_data(const GRFS_SESSION* ses, const char* field) {
    return ses->request_data == nullptr ? reinterpret_cast<const unsigned char*>(field) : ses->request_data;
}

// Shared by both request sizes: find the object, take the stream header,
// dispatch on the object's kind.
int write_object(FILE_MEMORY* rec, const GRFS_STREAM_INFO& stream_info, UINT64 offset,
                 const unsigned char* data, uint32_t* count, uint32_t* blk_size) {
    *blk_size = 1;
    if (stream_info.id != 0) rec->cur_stream = stream_info;
    if (rec->dblktype == DDB_ID) return Unix_WriteDir(rec, data, offset, count, blk_size);
    if (rec->dblktype == FDB_ID) return Unix_WriteFile(rec, data, offset, count, blk_size);
    *count = 0;
    return GRFS_RC_BAD_OBJ_HANDLE;
}

}  // namespace

int WriteFileUnix(int fd, const unsigned char* data, uint32_t* count) {
    const ssize_t written = write(fd, data, *count);
    if (written != static_cast<ssize_t>(*count)) {
        DEBUG_PRINTF(DBG_DATA, "write of %d bytes returned %d\n", static_cast<int>(*count), static_cast<int>(written));
    }
    if (written < 0) {
        const int err = errno;
        DEBUG_PRINTF(DBG_DATA, "write() errno is %d\n", err);
        if (err == EIO) return GRFS_RC_IO_ERROR;
        if (err == EAGAIN || err == EACCES) return GRFS_RC_ACCESS_DENIED;
        return GRFS_RC_NO_SPACE;
    }
    *count = static_cast<uint32_t>(written);
    return written == 0 ? GRFS_RC_NO_SPACE : 0;
}

int Unix_WriteEA(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count, uint32_t* blk_size) {
    DEBUG_PRINTF(DBG_DATA, "Unix_WriteEA  *size=%d, *blk_size=%d\n", static_cast<int>(*count),
                 static_cast<int>(*blk_size));
    *blk_size = 1;
    if (*count == 0) return 0;
    // The record never grows past the buffer that the WRITE open prepared.
    const uint64_t pos = AsU64(rec->ea_space_pos);
    const uint64_t room = AsU64(rec->ea_space_size);
    if (rec->ea_space == nullptr || pos > room || *count > room - pos) {
        DEBUG_PRINTF(DBG_DATA, "Unix_WriteEA: %d bytes at %d do not fit in %d bytes of EA space\n",
                     static_cast<int>(*count), static_cast<int>(pos), static_cast<int>(room));
        *count = 0;
        return GRFS_RC_NO_SPACE;
    }
    // The record is held until the object's close: it counts against the
    // session's budget for collected streams.
    if (!TakeStreamBytes(rec, *count)) {
        DEBUG_PRINTF(DBG_DATA, "Unix_WriteEA: the session's %d MiB for collected streams are taken\n",
                     static_cast<int>(kStreamBudgetBytes >> 20));
        *count = 0;
        return GRFS_RC_NO_MEMORY;
    }
    DEBUG_PRINTF(DBG_DATA, "ea_space_pos=<%d,%d>  temp_size=%d\n", static_cast<int>(rec->ea_space_pos.msw),
                 static_cast<int>(rec->ea_space_pos.lsw), static_cast<int>(*count));
    std::memcpy(rec->ea_space + pos, data, *count);
    advance(&rec->ea_space_pos, *count);
    return 0;
}

int Unix_WriteFile(FILE_MEMORY* rec, const unsigned char* data, UINT64 offset, uint32_t* count,
                   uint32_t* blk_size) {
    (void)offset;  // data goes where the descriptor stands: objects arrive in order
    *blk_size = 1;
    if (rec->acl_stream != 0 && rec->cur_stream.id == kHostAclStream) return WriteFileAclStream(rec, data, count, blk_size);
    if (rec->cur_stream.id == STRM_LINUX_XATTR && XattrsCarried(rec->session->ws)) {
        return WriteXattrStream(rec, data, count);
    }
    if (rec->cur_stream.id == STRM_LINUX_META && LinuxMetaCarried(rec->session->ws)) {
        return WriteLinuxMetaStream(rec, data, count);
    }
    switch (rec->cur_stream.id) {
    case STRM_STANDARD: {
        int rc = SparseRestoreOn(rec) ? SparseWriteData(rec, data, count) : WriteFileUnix(rec->data_hand, data, count);
        if (rc == 0) advance(&rec->obj_pos, *count);
        return rc;
    }
    case STRM_UNIX_EA:
        DEBUG_PRINTF(DBG_DATA, "In Unix_WriteFile for STRM_UNIX_EA *size=%d\n", static_cast<int>(*count));
        return write_ea_stream(rec, data, count, blk_size);
    default:
        // Without posix_acls both byte orders' ACL records end here, and
        // with it the other byte order's.
        DEBUG_PRINTF(DBG_DATA, "Unix_WriteFile: unknown stream, type = %d\n", static_cast<int>(rec->cur_stream.id));
        advance(&rec->obj_pos, *count);
        return 0;
    }
}

int Unix_WriteDir(FILE_MEMORY* rec, const unsigned char* data, UINT64 offset, uint32_t* count,
                  uint32_t* blk_size) {
    (void)offset;
    *blk_size = 1;
    if (rec->acl_stream != 0 && rec->cur_stream.id == kHostAclStream) return WriteDirAclStream(rec, data, count, blk_size);
    if (rec->cur_stream.id == STRM_LINUX_XATTR && XattrsCarried(rec->session->ws)) {
        return WriteXattrStream(rec, data, count);
    }
    if (rec->cur_stream.id == STRM_LINUX_META && LinuxMetaCarried(rec->session->ws)) {
        return WriteLinuxMetaStream(rec, data, count);
    }
    if (rec->cur_stream.id == STRM_UNIX_EA) return write_ea_stream(rec, data, count, blk_size);
    // A directory has no data of its own; anything else is consumed and dropped.
    advance(&rec->obj_pos, *count);
    return 0;
}

namespace {

// GRFS_WRITE_OBJ and GRFS_WRITE_OBJ_LARGE differ only in their fields'
// widths.
int WriteRequest(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length, bool large) {
    const GRFS_WRITE_OBJ_BODY& small = req->body.write_obj;
    const GRFS_WRITE_OBJ_LARGE_BODY& big = req->body.write_obj_large;
    const uint32_t request_id = req->hdr.request_id;
    const uint32_t obj_id = large ? big.obj_id : small.obj_id;
    const uint32_t size = large ? big.size : small.size;
    uint32_t count = size;
    uint32_t blk_size = 1;
    int rc;
    FILE_MEMORY* rec = LookupOpenObject(ses, obj_id);
    if (rec == nullptr) {
        rc = GRFS_RC_BAD_OBJ_HANDLE;
        count = 0;
    } else if (!data_present(size, length, large ? kWriteLargeHeadBytes : kWriteHeadBytes) ||
               (ses->request_data != nullptr && ses->request_data_len < size)) {
        rc = GRFS_RC_INVALID_REQUEST;
        count = 0;
    } else if (large) {
        rc = write_object(rec, big.stream_info, big.offset, request_data(ses, big.data), &count, &blk_size);
    } else {
        rc = write_object(rec, small.stream_info, U32_To_U64(small.offset), request_data(ses, small.data), &count,
                          &blk_size);
    }
    // The reply may share the request's memory: it starts once the data is written.
    GRFS_MESSAGE* reply = StartReply(ses, request_id, large ? GRFS_WRITE_OBJ_LARGE_STAT : GRFS_WRITE_OBJ_STAT);
    reply->hdr.retcode = static_cast<int16_t>(rc);
    if (large) {
        reply->body.write_obj_large_stat.size = count;
        reply->body.write_obj_large_stat.blk_size = blk_size;
    } else {
        reply->body.write_obj_stat.size = static_cast<uint16_t>(count);
        reply->body.write_obj_stat.blk_size = static_cast<uint16_t>(blk_size);
    }
    if (SendMessage(ses, reply, large ? 8 : 4) != 0) return 1;
    return rc;
}

}  // namespace

int WriteObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length) { return WriteRequest(ses, req, length, false); }

int WriteObjectLarge(GRFS_SESSION* ses, GRFS_MESSAGE* req, int length) {
    return WriteRequest(ses, req, length, true);
}
