#include "unixfs/object/read_ahead_advice.h"

#include <fcntl.h>
#include <sys/uio.h>

#include "unixfs/object/file_memory.h"

namespace {

// How far ahead of the descriptor the kernel is asked to read (about 110 ms
// of a disk reading 150 MB/s), and in steps of how much: the disk always has
// reads queued, and each step costs one system call per 66 requests of one
// window. With 4 MiB ahead a throttled disk fell idle often enough to lose
// up to 9% of its speed.
constexpr uint64_t kAdviseDistance = 16u << 20;
constexpr uint64_t kAdviseStep = 2u << 20;

// Whether the byte at offset is in the page cache, asked without waiting
// for the disk. Advice on cached pages still walks each of them in the
// kernel, which costs a warm backup more than this one look per step.
bool cached(int fd, uint64_t offset) {
    char byte;
    iovec iov{&byte, 1};
    return preadv2(fd, &iov, 1, static_cast<off_t>(offset), RWF_NOWAIT) == 1;
}

}  // namespace

void AdviseReadAhead(FILE_MEMORY* rec, uint64_t file_offset) {
    const uint64_t data_size = AsU64(rec->data_size);
    // Holes are served as zeros without reading them; advice would fill the
    // cache with their pages.
    if (rec->data_hand < 0 || data_size <= rec->preread_bufsize || rec->sparse.holes != 0) return;
    const uint64_t end = file_offset + kAdviseDistance < data_size ? file_offset + kAdviseDistance : data_size;
    if (rec->advised_end >= end || rec->advised_end >= file_offset + kAdviseDistance - kAdviseStep) return;
    // A step at a time: the kernel reads no more than its read-ahead size
    // (8 MiB on some disks, 128 KiB by default) for one piece of advice.
    // Advice only: a failure changes nothing but the speed.
    for (uint64_t from = rec->advised_end > file_offset ? rec->advised_end : file_offset; from < end;) {
        const uint64_t to = end - from > kAdviseStep ? from + kAdviseStep : end;
        // A step whose last byte is cached is taken as read already.
        if (!cached(rec->data_hand, to - 1))
            (void)posix_fadvise(rec->data_hand, static_cast<off_t>(from), static_cast<off_t>(to - from),
                                POSIX_FADV_WILLNEED);
        from = to;
    }
    rec->advised_end = end;
}
