#include <cstring>
#include <sys/stat.h>

#include "grfs/messages.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/object/host_acl.h"
#include "unixfs/object/object_acl.h"
#include "unixfs/object/object_files.h"
#include "unixfs/object/object_streams.h"
#include "unixfs/object/object_xattr.h"
#include "unixfs/object/read_ahead_pipe.h"
#include "unixfs/requests/read_object.h"
#include "unixfs/object/sparse_file.h"
#include "unixfs/session/workstation.h"
#include "unixfs/object/object_linux_meta.h"
#include "util/debug_print.h"

namespace {

inline uint32_t Hi(uint64_t v) { return static_cast<uint32_t>(v >> 32); }
inline uint32_t Lo(uint64_t v) { return static_cast<uint32_t>(v); }

// What one read request is answered with.
struct READ_OUTCOME {
    int retcode = 0;
    uint32_t bytes = 0;
    uint32_t blk_size = 1;
    uint32_t stream_id = 0;
    uint64_t stream_size = 0;
    // File data served from the read-ahead where it lies (preread_buf or the
    // pipe); empty when the bytes were copied to the destination.
    READ_AHEAD_REF data_ref;
};

// A reply never carries more than the object buffer size, whatever is asked.
uint32_t ReplyDataLimit() {
    uint32_t limit = gb_grfs_config.object_buffer_size;
    if (limit == 0 || limit > static_cast<uint32_t>(GRFS_OBJECT_BUFFER_SIZE)) limit = GRFS_OBJECT_BUFFER_SIZE;
    return limit;
}

// An ACL stream refused for lack of room goes out, when asked again, as
// the continuation of the header the refusal carried.
void AclReRequest(WS_CNTL* ws, READ_OUTCOME* out) {
    if (ws->processingAcl != 0 && out->blk_size == 1) {
        out->stream_id = 0;
        out->stream_size = 0;
        ws->processingAcl = 0;
        DEBUG_PRINTF(DBG_DATA,
                     "ReadObjectLarge: Was processingAcl before, so adjusting stream id, buf_size=%d blk_size=%d "
                     "ret_val=%d cur_stream_id=%d\n",
                     static_cast<int>(out->bytes), static_cast<int>(out->blk_size), out->retcode, 0);
    } else if (out->bytes == 0 && out->blk_size != 1 && out->retcode != GRFS_RC_END_OF_DATA &&
               ws->processingAcl == 0) {
        DEBUG_PRINTF(DBG_DATA,
                     "ReadObjectLarge: Error: processingAcl should be true when requesting larger ACL buffer, "
                     "buf_size=%d blk_size=%d ret_val=%d cur_stream_id=%d\n",
                     static_cast<int>(out->bytes), static_cast<int>(out->blk_size), out->retcode,
                     static_cast<int>(out->stream_id));
    }
}

bool IsReadableType(uint32_t mode) { return S_ISREG(mode) || S_ISDIR(mode) || S_ISLNK(mode); }

READ_OUTCOME ServeRead(FILE_MEMORY* rec, uint64_t x, uint32_t asked, unsigned char* dest, bool large) {
    READ_OUTCOME out;
    if (rec->file_mode != 0 && !IsReadableType(rec->file_mode)) {
        if (large) {
            DEBUG_PRINTF(DBG_DATA, "ReadObjectLarge: not a regular file or directory, mode=0x%x\n", rec->file_mode);
        } else {
            DEBUG_PRINTF(DBG_DATA, "ReadObject: not a regular file or directory(0x%x)\n", rec->file_mode);
        }
        out.retcode = GRFS_RC_END_OF_DATA;
        return out;
    }

    const uint64_t data_offset = AsU64(rec->data_offset);
    const uint64_t data_size = AsU64(rec->data_size);
    const uint64_t ea_offset = AsU64(rec->ea_offset);
    const uint64_t ea_size = AsU64(rec->ea_size);
    if (x == data_offset && data_size > 0) {
        out.stream_id = STRM_STANDARD;
        out.stream_size = data_size;
    } else if (x > data_offset && x < data_offset + data_size) {
        // Inside the data stream: no header.
    } else if (x == ea_offset && ea_size > 0) {
        out.stream_id = STRM_UNIX_EA;
        out.stream_size = ea_size;
        if (large) {
            DEBUG_PRINTF(DBG_DATA, "ReadObjectLarge: Beginning of EA cur_stream_len <%d,%d>\n", Hi(ea_size),
                         Lo(ea_size));
        } else {
            DEBUG_PRINTF(DBG_DATA, "ReadObject: Beginning of EA cur_stream_len %d\n", static_cast<int>(Lo(ea_size)));
        }
    } else if (x > ea_offset && x < ea_offset + ea_size) {
        if (large) {
            DEBUG_PRINTF(DBG_DATA, "ReadObjectLarge: Invalid place in EA offset <%d,%d>\n", Hi(x), Lo(x));
        } else {
            DEBUG_PRINTF(DBG_DATA, "ReadObject: Invalid place in EA offset %d ", static_cast<int>(Lo(x)));
        }
        DEBUG_PRINTF(DBG_DATA, "ea_offset <%d,%d> ea_size <%d,%d>\n", Hi(ea_offset), Lo(ea_offset), Hi(ea_size),
                     Lo(ea_size));
    } else if (rec->acl_stream != 0 && x == AclStreamOffset(rec)) {
        out.stream_id = kHostAclStream;
        out.stream_size = AclStreamSize(rec);
        if (large) {
            DEBUG_PRINTF(DBG_DATA, "ReadObjectLarge: Beginning of SOL ACL (%s) cur_stream_len=<%d,%d>\n", kHostAclLabel,
                         Hi(out.stream_size), Lo(out.stream_size));
        } else {
            DEBUG_PRINTF(DBG_DATA, "ReadObject: Beginning of SOL ACL (%s) cur_stream_len=%d\n", kHostAclLabel,
                         static_cast<int>(Lo(out.stream_size)));
        }
    } else if (XattrStreamHeader(rec, x, &out.stream_id, &out.stream_size) || InsideXattrStream(rec, x)) {
        // The LXAT stream: a header where it begins, none inside it.
    } else if (LinuxMetaStreamHeader(rec, x, &out.stream_id, &out.stream_size) || InsideLinuxMetaStream(rec, x)) {
        // The LXMD stream, likewise.
    } else {
        if (large) {
            DEBUG_PRINTF(DBG_DATA, "ReadObjectLarge: real eof - offset <%d,%d>\n", Hi(x), Lo(x));
        } else {
            DEBUG_PRINTF(DBG_DATA, "ReadObject: real eof - offset %d\n", static_cast<int>(Lo(x)));
        }
        out.retcode = GRFS_RC_END_OF_DATA;
    }
    if (large) {
        DEBUG_PRINTF(DBG_DATA, "ReadObjectLarge: Stream_ID=0x%x, Stream_len=<%d,%d>\n", out.stream_id,
                     Hi(out.stream_size), Lo(out.stream_size));
    } else {
        DEBUG_PRINTF(DBG_DATA, "ReadObject: Stream_ID=0x%x, Stream_len=%d\n", out.stream_id,
                     static_cast<int>(Lo(out.stream_size)));
    }
    if (out.retcode != 0) return out;

    uint32_t size = asked < ReplyDataLimit() ? asked : ReplyDataLimit();
    uint32_t blk_size = 1;
    if (rec->dblktype == DDB_ID) {
        out.retcode = UnixReadDir(rec, x, &size, &blk_size, dest);
    } else {
        out.retcode = UnixReadFile(rec, x, &size, &blk_size, dest, &out.data_ref);
        // The last bytes of an object travel with the end-of-object code.
        if (out.retcode == 0 && x + size == AsU64(rec->total_size)) out.retcode = GRFS_RC_END_OF_DATA;
    }
    out.bytes = size;
    out.blk_size = blk_size;
    if (out.stream_id == kHostAclStream) AclReRequest(rec->session->ws, &out);
    return out;
}

// The reply body of either request size; only the widths of size and
// blk_size differ.
template <typename Body>
void FillReadBody(Body* body, const READ_OUTCOME& out, UINT64 stream_size) {
    body->size = static_cast<decltype(body->size)>(out.bytes);
    body->blk_size = static_cast<decltype(body->blk_size)>(out.blk_size);
    body->stream_info.id = out.stream_id;
    body->stream_info.attrib = 0;
    body->stream_info.reserved = 0;
    body->stream_info.size = out.stream_id != 0 ? stream_size : UINT64{};
}

// GRFS_READ_OBJ and GRFS_READ_OBJ_LARGE differ only in their fields' widths
// (the small one's stream size and offset have 32 bits); the traces name
// the request they serve.
int ReadRequest(GRFS_SESSION* ses, GRFS_MESSAGE* req, bool large) {
    const char* name = large ? "ReadObjectLarge" : "ReadObject";
    // The reply may share the request's memory: take what is needed first.
    const uint32_t request_id = req->hdr.request_id;
    const uint32_t obj_id = large ? req->body.read_obj_large.obj_id : req->body.read_obj.obj_id;
    const uint32_t asked = large ? req->body.read_obj_large.size : req->body.read_obj.size;
    const uint64_t offset = large ? AsU64(req->body.read_obj_large.offset) : req->body.read_obj.offset;
    GRFS_MESSAGE* reply = StartReply(ses, request_id, large ? GRFS_READ_OBJ_LARGE_STAT : GRFS_READ_OBJ_STAT);

    FILE_MEMORY* rec = LookupOpenObject(ses, obj_id);
    if (rec == nullptr) {
        DEBUG_PRINTF(DBG_DATA, "%s: Object not opened\n", name);
        reply->hdr.retcode = GRFS_RC_BAD_OBJ_HANDLE;
        return SendMessage(ses, reply, 0) != 0 ? 1 : GRFS_RC_BAD_OBJ_HANDLE;
    }
    if (large) {
        DEBUG_PRINTF(DBG_DATA, "ReadObjectLarge: requested %d bytes offset=<%d,%d>\n", static_cast<int>(asked),
                     Hi(offset), Lo(offset));
    } else {
        DEBUG_PRINTF(DBG_DATA, "ReadObject: requested %d bytes offset=%d\n", static_cast<int>(asked),
                     static_cast<int>(offset));
    }

    char* data = large ? reply->body.read_obj_large_stat.data : reply->body.read_obj_stat.data;
    const READ_OUTCOME out = ServeRead(rec, offset, asked, reinterpret_cast<unsigned char*>(data), large);
    reply->hdr.retcode = static_cast<int16_t>(out.retcode);
    int shown_size = 0;
    int shown_blk_size = 0;
    if (large) {
        GRFS_READ_OBJ_LARGE_STAT_BODY& body = reply->body.read_obj_large_stat;
        FillReadBody(&body, out, ToU64(out.stream_size));
        shown_size = static_cast<int>(body.size);
        shown_blk_size = static_cast<int>(body.blk_size);
    } else {
        GRFS_READ_OBJ_STAT_BODY& body = reply->body.read_obj_stat;
        FillReadBody(&body, out, UINT64{Lo(out.stream_size), 0});
        shown_size = body.size;
        shown_blk_size = body.blk_size;
    }
    if (out.data_ref.pipe != nullptr) {
        SetReplyPipe(ses, data, out.data_ref.pipe, out.bytes);
    } else if (out.data_ref.bytes != nullptr) {
        SetReplyData(ses, data, out.data_ref.bytes, out.bytes);
    }
    DEBUG_PRINTF(DBG_DATA, "%s: buf_size=%d blk_size=%d\n", name, shown_size, shown_blk_size);
    const int head_bytes = large ? 24 : 20;
    if (SendMessage(ses, reply, head_bytes + static_cast<int>(out.bytes)) != 0) {
        if (out.data_ref.pipe != nullptr) SettleReadAheadAfterFailedSend(rec);
        return 1;
    }
    if (out.retcode == 0 && rec->dblktype == FDB_ID) RefillReadAhead(rec);
    return out.retcode;
}

}  // namespace

int ReadObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int /*length*/) { return ReadRequest(ses, req, false); }

int ReadObjectLarge(GRFS_SESSION* ses, GRFS_MESSAGE* req, int /*length*/) { return ReadRequest(ses, req, true); }

int UnixReadFile(FILE_MEMORY* rec, uint64_t offset, uint32_t* size, uint32_t* blk_size, unsigned char* dest,
                 READ_AHEAD_REF* data_ref) {
    DEBUG_PRINTF(DBG_DATA, "UnixReadFile: offset=<%d,%d> size=%d blk_size=%d buffer=%x\n", Hi(offset), Lo(offset),
                 static_cast<int>(*size), static_cast<int>(*blk_size),
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(dest)));
    const uint32_t asked = *size;
    *size = 0;
    const uint64_t pos = AsU64(rec->obj_pos);
    if (pos >= AsU64(rec->total_size)) {
        DEBUG_PRINTF(DBG_DATA, "UnixReadFile: eof\n");
        return GRFS_RC_END_OF_DATA;
    }
    const uint64_t data_offset = AsU64(rec->data_offset);
    const uint64_t data_size = AsU64(rec->data_size);
    const uint64_t ea_offset = AsU64(rec->ea_offset);
    const uint64_t ea_size = AsU64(rec->ea_size);
    int rc = 0;
    uint32_t delivered = 0;
    if (pos >= data_offset && pos < data_offset + data_size) {
        DEBUG_PRINTF(DBG_DATA, "UnixReadFile: reading file data, *size=%d\n", static_cast<int>(asked));
        DEBUG_PRINTF(DBG_DATA, "UnixReadFile: data_offset=<%d,%d> data_size=<%d,%d> obj_pos=<%d,%d>\n",
                     Hi(data_offset), Lo(data_offset), Hi(data_size), Lo(data_size), Hi(pos), Lo(pos));
        const uint64_t left = data_offset + data_size - pos;
        uint32_t read_size = asked < left ? asked : static_cast<uint32_t>(left);
        DEBUG_PRINTF(DBG_DATA, "UnixReadFile: calculated read_size=%d\n", static_cast<int>(read_size));
        if (data_ref != nullptr) {
            rc = FillReadBufferRef(rec, pos - data_offset, data_ref, &read_size);
        } else {
            rc = FillReadBuffer(rec, pos - data_offset, dest, &read_size);
        }
        delivered = rc == 0 ? read_size : 0;
    } else if (pos >= ea_offset && pos < ea_offset + ea_size && rec->ea_space != nullptr &&
               ea_size <= AsU64(rec->ea_space_size)) {
        DEBUG_PRINTF(DBG_DATA, "UnixReadFile: reading EA data\n");
        const uint64_t left = ea_offset + ea_size - pos;
        const uint64_t at = pos - ea_offset;
        delivered = asked < left ? asked : static_cast<uint32_t>(left);
        DEBUG_PRINTF(DBG_DATA, "Copying %d bytes from ea_space + <%d,%d>\n", static_cast<int>(delivered), Hi(at),
                     Lo(at));
        std::memcpy(dest, rec->ea_space + at, delivered);
    } else if (rec->acl_stream != 0 && pos == AclStreamOffset(rec)) {
        delivered = asked;
        rc = ReadAclStream(rec, false, &delivered, blk_size, dest);
    } else if (ReadXattrBytes(rec, pos, asked, dest, &delivered)) {
        DEBUG_PRINTF(DBG_DATA, "UnixReadFile: reading LXAT data, %d bytes\n", static_cast<int>(delivered));
    } else if (ReadLinuxMetaBytes(rec, pos, asked, dest, &delivered)) {
        DEBUG_PRINTF(DBG_DATA, "UnixReadFile: reading LXMD data, %d bytes\n", static_cast<int>(delivered));
    } else {
        DEBUG_PRINTF(DBG_DATA, "UnixReadFile: eof 2\n");
        rc = GRFS_RC_END_OF_DATA;
    }
    *size = delivered;
    rec->obj_pos = ToU64(pos + delivered);
    return rc;
}

int UnixReadDir(FILE_MEMORY* rec, uint64_t /*offset*/, uint32_t* size, uint32_t* blk_size,
                unsigned char* dest) {
    const uint32_t asked = *size;
    *size = 0;
    const uint64_t pos = AsU64(rec->obj_pos);
    if (rec->acl_stream != 0 && pos == AclStreamOffset(rec)) {
        uint32_t delivered = asked;
        const int rc = ReadAclStream(rec, true, &delivered, blk_size, dest);
        *size = delivered;
        rec->obj_pos = ToU64(pos + delivered);
        return rc;
    }
    const uint64_t ea_offset = AsU64(rec->ea_offset);
    const uint64_t ea_size = AsU64(rec->ea_size);
    uint32_t from_lxat = 0;
    if (ReadXattrBytes(rec, pos, asked, dest, &from_lxat) || ReadLinuxMetaBytes(rec, pos, asked, dest, &from_lxat)) {
        *size = from_lxat;
        rec->obj_pos = ToU64(pos + from_lxat);
        return 0;
    }
    if (pos < ea_offset || pos >= ea_offset + ea_size || rec->ea_space == nullptr ||
        ea_size > AsU64(rec->ea_space_size)) {
        return GRFS_RC_END_OF_DATA;
    }
    const uint64_t left = ea_offset + ea_size - pos;
    const uint32_t delivered = asked < left ? asked : static_cast<uint32_t>(left);
    std::memcpy(dest, rec->ea_space + (pos - ea_offset), delivered);
    *size = delivered;
    rec->obj_pos = ToU64(pos + delivered);
    return 0;
}

int FillReadBuffer(FILE_MEMORY* rec, uint64_t file_offset, unsigned char* dest, uint32_t* size) {
    READ_AHEAD_REF from;
    int rc = FillReadBufferRef(rec, file_offset, &from, size);
    if (rc == 0) CopyHandedOut(from, dest, *size);
    return rc;
}

int FillReadBufferRef(FILE_MEMORY* rec, uint64_t file_offset, READ_AHEAD_REF* from, uint32_t* size) {
    *from = READ_AHEAD_REF{};
    DEBUG_PRINTF(DBG_DATA, "FillReadBuffer: *size=%d preread_offset=%d preread_datasize=%d\n",
                 static_cast<int>(*size), static_cast<int>(rec->preread_offset),
                 static_cast<int>(rec->preread_datasize));
    if (rec->preread_buf == nullptr) {
        *size = 0;
        return GRFS_RC_END_OF_DATA;
    }
    if (rec->preread_offset >= rec->preread_datasize) {
        rec->preread_offset = 0;
        uint32_t got = rec->preread_bufsize;
        int rc = FillReadAhead(rec, file_offset, 0, &got);
        rec->preread_datasize = got;
        DEBUG_PRINTF(DBG_DATA, "FillReadBuffer: read_stat=%d, preread_datasize=%d\n", rc,
                     static_cast<int>(rec->preread_datasize));
        if (rc != 0) {
            *size = 0;
            return rc;
        }
    }
    const uint32_t avail = rec->preread_datasize - rec->preread_offset;
    const uint32_t n = *size < avail ? *size : avail;
    HandOutReadAhead(rec, n, from);
    DEBUG_PRINTF(DBG_DATA, "FillReadBuffer: *size=%d\n", static_cast<int>(n));
    *size = n;
    return 0;
}

void RefillReadAhead(FILE_MEMORY* rec) {
    if (rec->preread_buf == nullptr || rec->data_hand < 0) return;
    const uint64_t pos = AsU64(rec->obj_pos);
    const uint64_t data_offset = AsU64(rec->data_offset);
    if (pos < data_offset || pos >= data_offset + AsU64(rec->data_size)) return;
    const uint32_t remaining = rec->preread_datasize - rec->preread_offset;
    if (remaining > kRefillThreshold || remaining >= rec->preread_offset) return;
    DEBUG_PRINTF(DBG_DATA, "ReadObj: moving read-ahead data frag(%d), refilling read-ahead buffer\n",
                 static_cast<int>(remaining));
    // remaining < preread_offset: the fragment and its new place do not
    // overlap. In the pipe it stays where it is, ahead of what follows.
    if (rec->preread_piped == 0) std::memcpy(rec->preread_buf, rec->preread_buf + rec->preread_offset, remaining);
    uint32_t got = rec->preread_bufsize - remaining;
    FillReadAhead(rec, pos - data_offset + remaining, remaining, &got);
    rec->preread_offset = 0;
    rec->preread_datasize = remaining + got;
}
