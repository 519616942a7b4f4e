// The backup archive: a file header, then typed records. docs/archive-format.md
// describes the format; this header fixes its constants.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace grfs_client {

constexpr char kArchiveMagic[8] = {'G', 'R', 'F', 'S', 'A', 'R', 'C', '\0'};
constexpr uint16_t kArchiveVersion = 1;
constexpr int kArchiveHeaderSize = 16;
constexpr int kRecordHeaderSize = 8;
// Bounds on what one record may claim, so that a damaged file cannot make
// the reader allocate without limit.
constexpr uint32_t kMaxInfoRecord = 64 * 1024;
constexpr uint32_t kMaxObjectRecord = 2 + 4096 + 2 + 4096;
constexpr uint32_t kMaxDataRecord = 64 * 1024 * 1024;

enum ArchiveRecordType : uint8_t {
    REC_INFO = 'H',          // key=value lines about the archive
    REC_OBJECT = 'O',        // directory and DBLK of the next object
    REC_STREAM = 'S',        // a stream header as received
    REC_DATA = 'D',          // bytes of the current stream, as one reply carried them
    REC_OBJECT_END = 'E',    // how reading the object ended
    REC_ARCHIVE_END = 'Z',   // counts; absent in an unfinished archive
};

// How the byte sequence of an object was obtained.
enum ObjectStage : uint8_t {
    STAGE_COMPLETE = 0,      // read to the end-of-object code
    STAGE_OPEN_FAILED = 1,   // the open was refused with retcode
    STAGE_READ_FAILED = 2,   // a read was refused with retcode; the bytes before it are stored
    STAGE_NOT_READ = 3,      // not opened (retcode 0)
};

struct ObjectOutcome {
    int16_t retcode = 0;
    uint8_t stage = STAGE_COMPLETE;
    uint64_t bytes = 0;      // data bytes stored for the object
};

// Archive information, in order: host, port, dle, workstation, created, ...
using ArchiveInfo = std::vector<std::pair<std::string, std::string>>;
std::string info_value(const ArchiveInfo& info, const std::string& key);

}  // namespace grfs_client
