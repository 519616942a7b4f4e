#include "unixfs/object/stream_budget.h"

#include "unixfs/object/file_memory.h"
#include "unixfs/session/grfs_session.h"

bool TakeStreamBytes(FILE_MEMORY* rec, uint64_t bytes) {
    GRFS_SESSION* ses = rec->session;
    if (ses != nullptr) {
        if (bytes > kStreamBudgetBytes - ses->stream_bytes) return false;
        ses->stream_bytes += bytes;
    }
    rec->stream_bytes += bytes;
    rec->give_back_budget = GiveBackAllStreamBytes;
    return true;
}

void GiveBackStreamBytes(FILE_MEMORY* rec, uint64_t bytes) {
    if (bytes > rec->stream_bytes) bytes = rec->stream_bytes;
    rec->stream_bytes -= bytes;
    GRFS_SESSION* ses = rec->session;
    if (ses != nullptr) ses->stream_bytes -= bytes < ses->stream_bytes ? bytes : ses->stream_bytes;
}

void GiveBackAllStreamBytes(FILE_MEMORY* rec) { GiveBackStreamBytes(rec, rec->stream_bytes); }
