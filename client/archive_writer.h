// Writes a backup archive record by record, as the objects are read.
#pragma once

#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "client/archive_format.h"
#include "client/dblk_info.h"
#include "client/result.h"
#include "grfs/xdr.h"

namespace grfs_client {

class ArchiveWriter {
public:
    // Creates a temporary file beside path, readable and writable by its
    // owner only, and writes the header and info. finish() renames it over
    // path; until then a file at path is left as it was, and a writer that
    // is not finished (or a SIGINT, SIGTERM or SIGHUP) removes it.
    static Result<ArchiveWriter> create(const std::string& path, const ArchiveInfo& info);

    ArchiveWriter(ArchiveWriter&& other) noexcept;
    ArchiveWriter& operator=(ArchiveWriter&& other) noexcept;
    ~ArchiveWriter();

    Status begin_object(const std::string& dir, const Dblk& dblk);
    Status stream_header(const GRFS_STREAM_INFO& header);
    Status data(std::span<const unsigned char> bytes);
    Status end_object(const ObjectOutcome& outcome);
    // Writes the closing record, makes the file durable and puts it at
    // path.
    Status finish();

    uint64_t objects() const { return objects_; }
    uint64_t data_bytes() const { return data_bytes_; }
    const std::string& path() const { return path_; }

private:
    ArchiveWriter() = default;
    Status record(uint8_t type, std::span<const unsigned char> payload);
    Status fail(const std::string& what);
    void discard();

    FILE* file_ = nullptr;
    std::string path_;
    std::string temp_path_;  // where the archive is written until finished
    bool in_object_ = false;
    uint64_t objects_ = 0;
    uint64_t data_bytes_ = 0;
};

// The 16-byte file header and the wire form of a stream header.
std::vector<unsigned char> archive_file_header();
std::vector<unsigned char> stream_header_bytes(const GRFS_STREAM_INFO& header);

}  // namespace grfs_client
