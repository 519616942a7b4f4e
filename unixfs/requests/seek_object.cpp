#include <cerrno>
#include <unistd.h>

#include "grfs/messages.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/object/read_ahead_pipe.h"
#include "unixfs/requests/seek_object.h"
#include "util/debug_print.h"

namespace {

int16_t SeekErrnoToRetcode(int err) { return err == EBADF ? GRFS_RC_BAD_OBJ_HANDLE : GRFS_RC_END_OF_DATA; }

// Moves a file object forward by distance. Reads must go on with the bytes
// at the new position: inside the read-ahead buffer the buffer advances,
// otherwise it is dropped and the descriptor goes to the new position, so
// that the buffer always ends where the descriptor stands.
int16_t MoveObject(FILE_MEMORY* rec, uint64_t distance) {
    if (rec->data_hand < 0) {
        DEBUG_PRINTF(DBG_DATA, "SeekObject: no descriptor, errno=%d\n", EBADF);
        return GRFS_RC_BAD_OBJ_HANDLE;
    }
    const uint64_t pos = AsU64(rec->obj_pos);
    if (rec->open_mode == OPEN_MODE_WRITE) {
        // Writes go to the descriptor's position; there is no read-ahead.
        if (lseek(rec->data_hand, static_cast<off_t>(distance), SEEK_CUR) < 0) return SeekErrnoToRetcode(errno);
    } else {
        const uint64_t data_offset = AsU64(rec->data_offset);
        const bool in_data = pos >= data_offset && pos < data_offset + AsU64(rec->data_size);
        const uint32_t buffered =
            rec->preread_buf != nullptr && rec->preread_offset < rec->preread_datasize
                ? rec->preread_datasize - rec->preread_offset
                : 0;
        if (in_data && distance <= buffered) {
            SkipReadAhead(rec, static_cast<uint32_t>(distance));
        } else {
            const uint64_t target = pos + distance >= data_offset ? pos + distance - data_offset : 0;
            if (lseek(rec->data_hand, static_cast<off_t>(target), SEEK_SET) < 0) return SeekErrnoToRetcode(errno);
            DropReadAhead(rec);
        }
    }
    rec->obj_pos = ToU64(pos + distance);
    return 0;
}

}  // namespace

uint64_t SeekDistance(uint64_t position, uint64_t count) {
    if (count < kSeekBlock) return count;
    return kSeekBlock - (position + count) % kSeekBlock;
}

namespace {

// GRFS_SEEK_OBJ and GRFS_SEEK_OBJ_LARGE differ only in the width of the
// count and of the distance answered.
int SeekRequest(GRFS_SESSION* ses, GRFS_MESSAGE* req, bool large) {
    const uint32_t request_id = req->hdr.request_id;
    const uint32_t obj_id = large ? req->body.seek_obj_large.obj_id : req->body.seek_obj.obj_id;
    const uint64_t count = large ? AsU64(req->body.seek_obj_large.offset) : req->body.seek_obj.offset;
    GRFS_MESSAGE* reply = StartReply(ses, request_id, large ? GRFS_SEEK_OBJ_LARGE_STAT : GRFS_SEEK_OBJ_STAT);

    FILE_MEMORY* rec = LookupOpenObject(ses, obj_id);
    if (rec == nullptr) {
        reply->hdr.retcode = GRFS_RC_BAD_OBJ_HANDLE;
        return SendMessage(ses, reply, 0) != 0 ? 1 : 0;
    }
    if (rec->dblktype == DDB_ID) return SendMessage(ses, reply, 0) != 0 ? 1 : 0;

    const uint64_t distance = SeekDistance(AsU64(rec->obj_pos), count);
    const int16_t rc = MoveObject(rec, distance);
    reply->hdr.retcode = rc;
    const uint64_t moved = rc == 0 ? distance : 0;
    if (large) {
        reply->body.seek_obj_large_stat.seek_offset = ToU64(moved);
    } else {
        reply->body.seek_obj_stat.seek_offset = static_cast<uint32_t>(moved);
    }
    const int body_bytes = large ? 8 : 4;
    return SendMessage(ses, reply, rc == 0 ? body_bytes : 0) != 0 ? 1 : 0;
}

}  // namespace

int SeekObject(GRFS_SESSION* ses, GRFS_MESSAGE* req, int /*length*/) { return SeekRequest(ses, req, false); }

int SeekObjectLarge(GRFS_SESSION* ses, GRFS_MESSAGE* req, int /*length*/) { return SeekRequest(ses, req, true); }
