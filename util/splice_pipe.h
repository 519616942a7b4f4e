// A pipe that holds references to page-cache pages instead of bytes: file
// ranges are spliced into it and from it to a socket, so that file data
// reaches the network without being copied through user memory. The Linux
// calls (pipe2, F_SETPIPE_SZ, splice) live in splice_pipe.cpp only.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "util/unique_fd.h"

class SplicePipe {
public:
    // Bytes the pipe must be able to hold: a full read-ahead window at any
    // file offset, with a fragment of the last one still in it.
    static constexpr size_t kCapacity = 65536;

    // A new pipe of at least kCapacity bytes, both ends non-blocking (a full
    // or empty pipe fails at once rather than waiting); false when the
    // platform gives none.
    bool Open();
    bool valid() const { return rd_.valid(); }
    int read_end() const { return rd_.get(); }

    // Moves up to len bytes from fd's current position into the pipe (the
    // position advances as with read(2)). The count, 0 at end of file, or -1
    // with errno set (EINVAL and the like: the file cannot be spliced).
    ssize_t FillFrom(int fd, size_t len);

    // Copies up to len bytes out of the pipe into dest; the count, 0 when the
    // pipe is empty.
    size_t Drain(void* dest, size_t len);

    // Bytes in the pipe.
    size_t Held() const;

private:
    UniqueFd rd_;
    UniqueFd wr_;
};

// Bytes waiting in a pipe, given its read end.
size_t PipeHeld(int pipe_rd);

// Moves up to len bytes from the read end of a pipe into a socket; the count
// or -1 with errno set. A peer that has gone away fails it with EPIPE and
// never raises a signal that ends the process.
ssize_t SplicePipeToSocket(int pipe_rd, int sock, size_t len);
