#include "unixfs/object/read_ahead_pipe.h"

#include <cstring>
#include <new>

#include "grfs/messages.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/object/read_ahead_advice.h"
#include "unixfs/object/read_ahead_fill.h"
#include "util/debug_print.h"
#include "util/splice_pipe.h"

namespace {

bool Piped(const FILE_MEMORY* rec) { return rec->preread_piped != 0 && rec->preread_pipe != nullptr; }

// The read-ahead goes back to preread_buf for the rest of the open; the keep
// bytes in the pipe (all it holds) move to its front.
void LeavePipe(FILE_MEMORY* rec, uint32_t keep) {
    rec->preread_pipe->Drain(rec->preread_buf, keep);
    rec->preread_piped = 0;
}

}  // namespace

void ChooseReadAhead(FILE_MEMORY* rec) {
    rec->preread_piped = 0;
    // Holes are served as zeros without reading them: that stays buffered.
    // So does a file that one window holds: one read and one send serve it,
    // where the pipe would take a system call more.
    if (rec->preread_buf == nullptr || rec->data_hand < 0 || rec->sparse.holes != 0 ||
        AsU64(rec->data_size) <= rec->preread_bufsize) {
        return;
    }
    if (rec->preread_pipe == nullptr) {
        auto* pipe = new (std::nothrow) SplicePipe;
        if (pipe == nullptr) return;
        if (!pipe->Open()) {
            delete pipe;
            return;
        }
        rec->preread_pipe = pipe;
        rec->drop_read_ahead = DropReadAhead;
        rec->free_read_ahead = FreeReadAheadPipe;
    }
    rec->preread_piped = 1;
}

int FillReadAhead(FILE_MEMORY* rec, uint64_t file_offset, uint32_t keep, uint32_t* size) {
    if (Piped(rec)) {
        const uint32_t asked = *size;
        const ssize_t n = rec->preread_pipe->FillFrom(rec->data_hand, asked);
        if (n >= 0) {
            AdviseReadAhead(rec, file_offset + static_cast<uint64_t>(n));
            // What ReadFileUnix says of a read with this outcome.
            DEBUG_PRINTF(DBG_DATA, "ReadFileUnix: calling read(0x%x, %d)\n", rec->data_hand, static_cast<int>(asked));
            *size = static_cast<uint32_t>(n);
            const int rc = n == 0 ? GRFS_RC_END_OF_DATA : 0;
            DEBUG_PRINTF(DBG_DATA, "ReadFileUnix: ret_val=%d *size=%d\n", rc, static_cast<int>(*size));
            return rc;
        }
        // Not spliced, nothing moved: the read below starts where this began.
        LeavePipe(rec, keep);
    }
    const int rc = FillReadAheadBuffer(rec, file_offset, rec->preread_buf + keep, size);
    AdviseReadAhead(rec, file_offset + *size);
    return rc;
}

void HandOutReadAhead(FILE_MEMORY* rec, uint32_t n, READ_AHEAD_REF* ref) {
    *ref = READ_AHEAD_REF{};
    if (Piped(rec)) {
        ref->pipe = rec->preread_pipe;
    } else {
        ref->bytes = rec->preread_buf + rec->preread_offset;
    }
    rec->preread_offset += n;
}

void CopyHandedOut(const READ_AHEAD_REF& ref, unsigned char* dest, uint32_t n) {
    if (n == 0) return;
    if (ref.pipe != nullptr) {
        ref.pipe->Drain(dest, n);
    } else if (ref.bytes != nullptr) {
        std::memcpy(dest, ref.bytes, n);
    }
}

void SkipReadAhead(FILE_MEMORY* rec, uint32_t n) {
    if (Piped(rec) && n != 0) rec->preread_pipe->Drain(rec->preread_buf, n);
    rec->preread_offset += n;
}

void DropReadAhead(FILE_MEMORY* rec) {
    // preread_buf serves as scratch.
    if (Piped(rec) && rec->preread_datasize > rec->preread_offset) {
        rec->preread_pipe->Drain(rec->preread_buf, rec->preread_datasize - rec->preread_offset);
    }
    rec->preread_offset = 0;
    rec->preread_datasize = 0;
}

void SettleReadAheadAfterFailedSend(FILE_MEMORY* rec) {
    if (!Piped(rec)) return;
    const auto held = static_cast<uint32_t>(rec->preread_pipe->Held());
    const uint32_t expected = rec->preread_datasize - rec->preread_offset;
    if (held > expected) rec->preread_pipe->Drain(rec->preread_buf, held - expected);
}

void FreeReadAheadPipe(FILE_MEMORY* rec) {
    delete rec->preread_pipe;
    rec->preread_pipe = nullptr;
    rec->preread_piped = 0;
}
