// A DBLK as the peer keeps it: its exact wire bytes, plus the fields the
// commands look at, decoded once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/result.h"
#include "grfs/dblk.h"

namespace grfs_client {

// The Unix information of a block, normalised to the versioned form.
struct UnixInfo {
    bool present = false;       // the block carries the agent's Unix information
    uint32_t mode = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t dev = 0;
    uint32_t rdev = 0;
    uint32_t nlink = 1;
    uint64_t ino = ~0ull;       // all ones when unknown (older forms)
    uint16_t version = 0;       // 1 when ino and nlink are real
};

class Dblk {
public:
    Dblk() = default;

    // From wire bytes: exactly one block, dblk_actual_size bytes long.
    static Result<Dblk> from_wire(std::span<const unsigned char> wire);
    // From a host-form record (a decoded reply); the record is not changed.
    static Dblk from_record(const GRFS_GEN_DBLK& record);

    // The host-form record, for a request.
    void to_record(GRFS_GEN_DBLK* record) const;

    std::span<const unsigned char> wire() const { return wire_; }
    bool empty() const { return wire_.empty(); }

    uint8_t type() const { return type_; }
    bool is_directory() const { return type_ == DDB_ID; }
    bool is_file() const { return type_ == FDB_ID; }
    // The file's name, or the directory's path relative to the DLE root.
    const std::string& text() const { return text_; }
    // The last component of text().
    std::string base_name() const;
    uint64_t size() const { return size_; }
    uint32_t gen_attr() const { return gen_attr_; }
    const DATE_TIME& modified_time() const { return modified_; }
    const DATE_TIME& access_time() const { return accessed_; }
    const UnixInfo& unix_info() const { return unix_; }

    // Kinds by the Unix mode (false without Unix information).
    bool is_symlink() const;
    bool is_regular() const;   // regular file, or a file block without Unix information
    bool is_fifo_or_socket() const;
    bool is_device() const;

private:
    void take_fields(const GRFS_GEN_DBLK& record);

    std::vector<unsigned char> wire_;
    uint8_t type_ = 0;
    std::string text_;
    uint64_t size_ = 0;
    uint32_t gen_attr_ = 0;
    DATE_TIME modified_{};
    DATE_TIME accessed_{};
    UnixInfo unix_;
};

// The wire form of a host-form record (encoded from a copy).
std::vector<unsigned char> dblk_to_wire(const GRFS_GEN_DBLK& record);

// A directory block for another path: the fixed part, the find
// information and the Unix information are kept, the path and its copy
// replaced. Paths longer than the block can hold are refused.
Result<Dblk> with_directory_path(const Dblk& directory, std::string_view path);

// A directory block with no Unix information, for a directory that the
// archive does not describe.
Dblk minimal_directory(std::string_view path);

// "a/b" joined with "c" is "a/b/c"; empty parts are left out.
std::string join_path(std::string_view dir, std::string_view name);

// "/a/b/" without its leading and trailing slashes: "a/b", the form the
// agent's paths take below an export.
std::string strip_slashes(std::string_view path);

}  // namespace grfs_client
