#include "unixfs/object/read_ahead_fill.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "grfs/messages.h"
#include "unixfs/host/file_read.h"
#include "unixfs/object/file_memory.h"

namespace {

// Hole lookups in one fill of the read-ahead buffer; a file cut into many
// small extents reads the rest of the fill plainly, which is then cheaper.
constexpr int kMaxLookups = 4;

// Reads the rest of a fill as one read would, at the descriptor's position.
int ReadPlain(int fd, uint64_t at, bool moved, uint64_t file_offset, unsigned char* dest, uint32_t* n) {
    if (moved && lseek(fd, static_cast<off_t>(at), SEEK_SET) < 0) {
        *n = 0;
        return GRFS_RC_ACCESS_DENIED;
    }
    return ReadFileUnix(fd, file_offset, dest, n);
}

}  // namespace

int FillReadAheadBuffer(FILE_MEMORY* rec, uint64_t file_offset, unsigned char* dest, uint32_t* size) {
    SPARSE_STATE& s = rec->sparse;
    const int fd = rec->data_hand;
    if (s.holes == 0) return ReadFileUnix(fd, file_offset, dest, size);
    // Where one read would begin: a seek may have moved the descriptor.
    const off_t begin = lseek(fd, 0, SEEK_CUR);
    if (begin < 0) {
        s.holes = 0;
        return ReadFileUnix(fd, file_offset, dest, size);
    }
    const uint64_t start = static_cast<uint64_t>(begin);
    const uint32_t want = *size;
    uint32_t done = 0;
    int rc = 0;
    bool moved = false;  // the descriptor no longer stands at start + done
    int lookups = 0;
    // Holes are looked up at every fill, never remembered: data written into
    // one meanwhile is read like any data. What was data stays readable as
    // data, whatever happens to it.
    while (done < want) {
        const uint64_t cur = start + done;
        const uint32_t left = want - done;
        if (cur < s.data_until) {
            const uint32_t asked = static_cast<uint32_t>(std::min<uint64_t>(left, s.data_until - cur));
            uint32_t n = asked;
            rc = ReadPlain(fd, cur, moved, file_offset + done, dest + done, &n);
            moved = false;
            done += n;
            // A read that meets the end after data still delivers it.
            if (rc == GRFS_RC_END_OF_DATA && n == 0 && done > 0) rc = 0;
            if (rc != 0 || n < asked) break;
            continue;
        }
        const off_t data = ++lookups > kMaxLookups ? -1 : lseek(fd, static_cast<off_t>(cur), SEEK_DATA);
        uint64_t hole_end;
        if (data < 0) {
            struct stat st;
            if (lookups > kMaxLookups || errno != ENXIO || fstat(fd, &st) != 0) {
                // No hole lookup here: read as before (from now on, when
                // the file system cannot tell).
                if (lookups <= kMaxLookups) s.holes = 0;
                uint32_t n = left;
                rc = ReadPlain(fd, cur, true, file_offset + done, dest + done, &n);
                moved = false;
                done += n;
                if (rc == GRFS_RC_END_OF_DATA && n == 0 && done > 0) rc = 0;
                break;
            }
            // No data after cur: a hole up to the end of the file.
            hole_end = static_cast<uint64_t>(st.st_size);
            if (cur >= hole_end) {
                if (done == 0) rc = GRFS_RC_END_OF_DATA;
                break;
            }
        } else if (static_cast<uint64_t>(data) == cur) {
            moved = true;
            const off_t hole = lseek(fd, static_cast<off_t>(cur), SEEK_HOLE);
            s.data_until = hole > data ? static_cast<uint64_t>(hole) : cur + left;
            continue;
        } else {
            moved = true;
            hole_end = static_cast<uint64_t>(data);
        }
        const uint32_t z = static_cast<uint32_t>(std::min<uint64_t>(left, hole_end - cur));
        std::memset(dest + done, 0, z);
        done += z;
        moved = true;
        // A read stops at the end of the file.
        if (data < 0 && cur + z == hole_end) break;
    }
    if (moved) lseek(fd, static_cast<off_t>(start + done), SEEK_SET);
    *size = done;
    return rc;
}
