// What one session did, for the line the agent writes when it ends. The
// record lives in memory the listener shares with the session process, so
// that the listener can still report a session that died without a word.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

struct GRFS_MESSAGE;

struct SessionTally {
    // Kept by the listener (agent/session_lines.h): free, claimed, running, reaped.
    std::atomic<int> state;
    std::atomic<int> pid;
    std::atomic<int> wait_status;      // as waitpid reported the session process
    uint32_t peer_addr;                // network order
    uint16_t peer_port;                // host order
    timespec started;                  // CLOCK_MONOTONIC
    // Which of its two lines the session process has written itself.
    std::atomic<int> start_written;
    std::atomic<int> end_written;
    // Successful opens for reading or verifying, and for writing.
    uint64_t objects_read;
    uint64_t objects_written;
    // Object bytes (data, EA and ACL streams) sent in read replies and
    // taken by successful writes.
    uint64_t bytes_read;
    uint64_t bytes_written;
    uint64_t objects_deleted;          // successful deletes
    uint64_t errors;                   // replies with a failure retcode
    // Names of the exports attached, each once, comma-separated; ",..."
    // ends a list that ran out of room.
    char dles[512];
};

// Counts one reply once it was sent (null tally: nothing). Every nonzero
// retcode but end of object (-500) and end of listing (-505) is an error;
// read and write replies add their bytes, a delete reply its object.
// counts_failure false: the reply's retcode is an answer, not an error
// (the 1 of a FIFO or socket, which is listed but cannot be opened).
void TallyReply(SessionTally* tally, const GRFS_MESSAGE* reply, bool counts_failure = true);
// A successful open in the given mode (GrfsOpenMode).
void TallyOpen(SessionTally* tally, uint16_t mode);
// An export attached under this name.
void TallyAttach(SessionTally* tally, const char* name);
