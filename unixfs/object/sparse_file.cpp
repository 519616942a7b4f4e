#include "unixfs/object/sparse_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/workstation.h"
#include "util/debug_print.h"
#include "util/uint64.h"

namespace {

const unsigned char kZeros[kSparseBlock] = {};

bool AllZero(const unsigned char* p, size_t n) {
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

// The write errors as WriteFileUnix reports them.
int WriteErrno(int err) {
    DEBUG_PRINTF(DBG_DATA, "write() errno is %d\n", err);
    if (err == EIO) return GRFS_RC_IO_ERROR;
    if (err == EAGAIN || err == EACCES) return GRFS_RC_ACCESS_DENIED;
    return GRFS_RC_NO_SPACE;
}

// All of [at, at + n) from data; a short write stops early (*written tells).
int WriteAt(int fd, const unsigned char* data, size_t n, uint64_t at, size_t* written) {
    *written = 0;
    const ssize_t w = pwrite(fd, data, n, static_cast<off_t>(at));
    if (w < 0) return WriteErrno(errno);
    if (static_cast<size_t>(w) != n) {
        DEBUG_PRINTF(DBG_DATA, "write of %d bytes returned %d\n", static_cast<int>(n), static_cast<int>(w));
    }
    *written = static_cast<size_t>(w);
    return w == 0 ? GRFS_RC_NO_SPACE : 0;
}

int WriteZeros(int fd, uint64_t from, uint64_t to) {
    while (from < to) {
        size_t written = 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(to - from, kSparseBlock));
        const int rc = WriteAt(fd, kZeros, n, from, &written);
        if (rc != 0) return rc;
        from += written;
    }
    return 0;
}

// Zeros left unwritten in [from, to): where the file held bytes before the
// stream began they are cleared (a hole punched, or zeros written where the
// file system cannot punch).
int SettleSkipped(SPARSE_STATE& s, int fd, uint64_t from, uint64_t to) {
    to = std::min(to, s.old_end);
    if (from >= to) return 0;
    if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                  static_cast<off_t>(to - from)) == 0) {
        return 0;
    }
    if (errno != EOPNOTSUPP && errno != ENOSYS) return WriteErrno(errno);
    return WriteZeros(fd, from, to);
}

// The file's length reaches pos: the zeros at the end were never written.
int ExtendTo(SPARSE_STATE& s, int fd, uint64_t pos) {
    if (s.end >= pos) return 0;
    if (ftruncate(fd, static_cast<off_t>(pos)) != 0) {
        const int err = errno;
        DEBUG_PRINTF(DBG_DATA, "ftruncate to %llu failed. errno=%d\n", static_cast<unsigned long long>(pos), err);
        return WriteErrno(err);
    }
    s.end = pos;
    return 0;
}

}  // namespace

void SparseOpen(FILE_MEMORY* rec, const struct stat* st) {
    rec->sparse = SPARSE_STATE{};
    rec->sparse.restore = rec->dle != nullptr && AttachmentWs(rec->dle)->sparse_restore != 0 ? 1 : 0;
    // Only a file with fewer blocks than its length can have holes worth
    // looking for; any other file reads exactly as before.
    if (st != nullptr && S_ISREG(st->st_mode) && static_cast<uint64_t>(st->st_blocks) * 512 <
                                                     static_cast<uint64_t>(st->st_size)) {
        rec->sparse.holes = 1;
    }
}

bool SparseRestoreOn(const FILE_MEMORY* rec) {
    // Data sent to an object opened for reading fails in write(2) as before.
    return rec->open_mode == OPEN_MODE_WRITE && rec->sparse.restore != 0;
}

int SparseWriteData(FILE_MEMORY* rec, const unsigned char* data, uint32_t* count) {
    SPARSE_STATE& s = rec->sparse;
    const int fd = rec->data_hand;
    if (s.writing == 0) {
        struct stat st;
        const off_t at = lseek(fd, 0, SEEK_CUR);
        if (at < 0 || fstat(fd, &st) != 0) return WriteErrno(errno);
        s.writing = 1;
        s.pos = s.zero_from = static_cast<uint64_t>(at);
        s.old_end = s.end = static_cast<uint64_t>(st.st_size);
    }
    const SPARSE_STATE before = s;
    const uint64_t base = s.pos;
    const uint32_t n = *count;
    uint32_t i = 0;
    uint32_t w = 0;        // start of the bytes to write next
    bool writing = false;  // bytes from w on are to be written
    int rc = 0;
    bool cut = false;  // a short write ended the request early

    // Writes data[w, to). false when the request ends here (an error, or a
    // short write: *count and the state then tell how far it got).
    auto flush = [&](uint32_t to) -> bool {
        size_t written = 0;
        rc = WriteAt(fd, data + w, to - w, base + w, &written);
        if (rc != 0) return false;
        s.end = std::max(s.end, base + w + written);
        writing = false;
        if (written == to - w) return true;
        cut = true;
        *count = w + static_cast<uint32_t>(written);
        s.pos = s.zero_from = base + *count;
        return false;
    };

    while (i < n) {
        const uint64_t off = base + i;
        const uint64_t block = off & ~(kSparseBlock - 1);
        const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(n - i, block + kSparseBlock - off));
        // The block was all zeros so far when its earlier bytes were skipped.
        const bool clean = off == block || s.zero_from <= block;
        if (clean && AllZero(data + i, len)) {
            if (writing && !flush(i)) break;
            i += len;
            continue;
        }
        if (!writing) {
            if (s.zero_from < off) {
                // The skipped zeros end here; those in this block are written,
                // since the block holds data.
                const uint64_t fill = std::max(s.zero_from, block);
                rc = SettleSkipped(s, fd, s.zero_from, fill);
                if (rc == 0) rc = WriteZeros(fd, fill, off);
                if (rc != 0) break;
                s.end = std::max(s.end, off);
            }
            writing = true;
            w = i;
        }
        i += len;
        s.zero_from = base + i;
    }
    if (rc == 0 && !cut && writing) flush(n);
    if (rc != 0) {
        // Nothing of this request counts: it may come again, to the same place.
        s = before;
        return rc;
    }
    if (cut) return 0;
    s.pos = base + n;
    if (s.pos >= AsU64(rec->cur_stream.size)) {
        // The stream is complete: it may end in zeros that were not written.
        rc = SettleSkipped(s, fd, s.zero_from, s.pos);
        if (rc == 0) rc = ExtendTo(s, fd, s.pos);
        if (rc != 0) {
            s = before;
            return rc;
        }
    }
    return 0;
}

void SparseWriteFinish(FILE_MEMORY* rec) {
    SPARSE_STATE& s = rec->sparse;
    if (s.writing == 0 || s.zero_from >= s.pos || rec->data_hand < 0) return;
    const int fd = rec->data_hand;
    struct stat st;
    // A length that something else set since (set information) stays.
    if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != s.end) return;
    if (SettleSkipped(s, fd, s.zero_from, s.pos) != 0 || ExtendTo(s, fd, s.pos) != 0) {
        DEBUG_PRINTF(DBG_DATA, "%s: the zeros at the end of its data could not be kept\n",
                     rec->full_path != nullptr ? rec->full_path : "");
    }
}
