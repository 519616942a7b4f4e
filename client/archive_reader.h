// Reads a backup archive object by object. Stream bytes stay in the file:
// an object lists where they lie and read() fetches them on demand, so an
// object of any size needs little memory.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "client/archive_format.h"
#include "client/dblk_info.h"
#include "client/result.h"
#include "grfs/xdr.h"
#include "util/unique_fd.h"

namespace grfs_client {

struct ArchivedExtent {
    uint64_t file_offset = 0;
    uint32_t length = 0;
};

struct ArchivedStream {
    bool has_header = false;     // false for bytes that came before any header
    GRFS_STREAM_INFO header{};
    uint64_t length = 0;         // bytes stored
    std::vector<ArchivedExtent> extents;
};

struct ArchivedObject {
    std::string dir;             // relative to the DLE root
    Dblk dblk;
    std::vector<ArchivedStream> streams;
    ObjectOutcome outcome;
    uint64_t index = 0;          // 0 for the first object

    std::string path() const { return dblk.is_directory() ? dblk.text() : join_path(dir, dblk.text()); }
    bool complete() const { return outcome.stage == STAGE_COMPLETE; }
};

class ArchiveReader {
public:
    static Result<ArchiveReader> open(const std::string& path);

    const ArchiveInfo& info() const { return info_; }

    // The next object; false after the last one. An archive that ends
    // without its closing record, or holds anything out of order, is an
    // ErrorKind::archive error.
    Result<bool> next(ArchivedObject& object);

    // Bytes of a stream from offset on; out.size() bytes, which must lie
    // inside the stream.
    Status read(const ArchivedStream& stream, uint64_t offset, std::span<unsigned char> out) const;
    Result<std::vector<unsigned char>> read_all(const ArchivedStream& stream) const;

    // Counts of the closing record (valid after next() returned false).
    uint64_t object_count() const { return object_count_; }
    uint64_t data_bytes() const { return data_bytes_; }
    const std::string& path() const { return path_; }

private:
    ArchiveReader() = default;
    Status bad(const std::string& what) const;
    Status read_exact(void* out, size_t n);

    UniqueFd fd_;
    std::string path_;
    uint64_t position_ = 0;      // next record
    uint64_t file_size_ = 0;
    ArchiveInfo info_;
    bool ended_ = false;
    uint64_t objects_seen_ = 0;
    uint64_t object_count_ = 0;
    uint64_t data_bytes_ = 0;
};

}  // namespace grfs_client
