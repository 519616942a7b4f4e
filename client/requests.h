// One function per GRFS request the peer makes: each fills the request,
// makes the round trip and turns the reply into values. A nonzero retcode
// becomes ErrorKind::retcode unless the function says otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/connection.h"
#include "client/dblk_info.h"
#include "client/result.h"
#include "grfs/messages.h"

namespace grfs_client {

// Stream ids of an object's byte sequence (four-character codes).
constexpr uint32_t kStreamStandard = 0x4E415453;  // "STAN": file data
constexpr uint32_t kStreamUnixEa = 0x554E324F;    // "O2NU": symbolic-link record
constexpr uint32_t kStreamSolX86Acl = 0x4C434149; // "IACL"
constexpr uint32_t kStreamSolAcl = 0x4C434153;    // "SACL"
std::string stream_name(uint32_t id);              // "STAN", or the number in hex

// Bit of the attach reason that lets set-information truncate and that a
// restore sets.
constexpr uint16_t kAttachReasonRestore = 0x4;

struct AttachOptions {
    uint16_t reason = 0;
    uint16_t vsc_flags = 0;
    uint16_t bsize = GRFS_OBJECT_BUFFER_SIZE;  // largest data block asked for
};

struct AttachInfo {
    DLE_HANDLE dle_id = 0;
    uint16_t max_obj_bsize = 0;
    bool supports_children = false;
    std::string path;
};

struct DleInfo {
    std::string name;
    bool password_required = false;
    bool writable = false;
    uint16_t fs_type = 0;
};

// What an attach answered -507 means.
constexpr const char* kWorkstationAccessDenied = "access denied (unknown workstation name or wrong workstation password)";
constexpr const char* kExportAccessDenied = "access denied (unknown export or wrong password)";

// Credentials are scrambled here; pass them plain (passwords as the agent
// holds them, upper-cased).
Result<AttachInfo> attach_workstation(Connection& c, std::string_view workstation, std::string_view password,
                                      const AttachOptions& options = {});
Result<AttachInfo> attach_dle(Connection& c, DLE_HANDLE workstation, std::string_view dle, std::string_view password,
                              const AttachOptions& options = {});
Status detach(Connection& c, DLE_HANDLE id);

// Every exported DLE, following `more`.
Result<std::vector<DleInfo>> list_dles(Connection& c, DLE_HANDLE workstation);

// path relative to the DLE root, "/"-separated; empty for the root.
Status change_dir(Connection& c, DLE_HANDLE dle, std::string_view path);
// The net_path bytes for a path: components, each followed by a zero byte;
// a single zero byte for the root.
std::vector<char> net_path(std::string_view path);
// The most bytes of net_path a GRFS_CHANGE_DIR carries: a directory whose
// path needs more cannot be made current, so what it holds can be neither
// listed nor backed up, nor can files be restored into it.
constexpr size_t kMaxChangeDirBytes = 256;
// Why GRFS_CHANGE_DIR cannot name path ("<subject> from the export root is
// N bytes, ..."), or empty when it can.
std::string change_dir_length_problem(std::string_view path, std::string_view subject = "its path");

// The first object of the current directory, or nothing when it holds none.
Result<std::optional<Dblk>> find_first(Connection& c, DLE_HANDLE dle, std::string_view pattern = "*",
                                       uint16_t find_type = 0);
// The object after last (the block the previous find returned).
Result<std::optional<Dblk>> find_next(Connection& c, DLE_HANDLE dle, const Dblk& last);
Status find_close(Connection& c, DLE_HANDLE dle, const Dblk& last);

Result<Dblk> get_current_ddb(Connection& c, DLE_HANDLE dle);
Result<Dblk> get_object_info(Connection& c, DLE_HANDLE dle, const Dblk& dblk);
Result<Dblk> prepare_dblk(Connection& c, DLE_HANDLE dle, const Dblk& dblk);

// Requests answered with a retcode alone; the retcode is returned as it is.
Result<int16_t> create_object(Connection& c, DLE_HANDLE dle, const Dblk& dblk);
Result<int16_t> set_object_info(Connection& c, DLE_HANDLE dle, const Dblk& dblk);
Result<int16_t> verify_object_info(Connection& c, DLE_HANDLE dle, const Dblk& dblk);
Result<int16_t> delete_object(Connection& c, DLE_HANDLE dle, const Dblk& dblk);

struct OpenInfo {
    OBJ_HANDLE obj_id = 0;
    int16_t retcode = 0;  // 0, or -496 (opened with a warning)
};
// mode: GRFS_OPEN_READ, GRFS_OPEN_WRITE or GRFS_OPEN_VERIFY. A failed open
// is ErrorKind::retcode with the retcode.
Result<OpenInfo> open_object(Connection& c, DLE_HANDLE dle, const Dblk& dblk, uint16_t mode);
Status close_object(Connection& c, OBJ_HANDLE obj);

// One read reply.
struct ReadPiece {
    GRFS_STREAM_INFO stream{};  // id 0 when the bytes continue the previous stream
    std::span<const unsigned char> data;
    int16_t retcode = 0;        // -500 on the last piece
    uint32_t blk_size = 1;
};
Result<ReadPiece> read_piece(Connection& c, OBJ_HANDLE obj, uint64_t offset, uint32_t size);

// Reads the whole byte sequence from offset 0 until the end-of-object code,
// calling on_piece for every reply that carries a stream header or bytes.
// Stops with the callback's error, a retcode other than 0 or -500, or a
// reply that makes no progress.
Status read_object(Connection& c, OBJ_HANDLE obj, uint32_t piece_size,
                   const std::function<Status(const ReadPiece&)>& on_piece);

// One stream of an object as read back: header as received and its bytes.
struct StreamBytes {
    GRFS_STREAM_INFO header{};
    std::vector<unsigned char> bytes;
};
// A read_object callback that appends each piece to `streams`: a new entry
// where a stream header arrives, else to the last one.
std::function<Status(const ReadPiece&)> collect_streams(std::vector<StreamBytes>& streams);
// The byte sequence in memory (for small objects and tests).
Result<std::vector<StreamBytes>> read_object_streams(Connection& c, OBJ_HANDLE obj, uint32_t piece_size);

struct WriteReply {
    uint32_t consumed = 0;
    uint32_t blk_size = 1;  // 1: go on; more: resend the stream whole in pieces of at least this
};
// GRFS_WRITE_OBJ_LARGE.
Result<WriteReply> write_piece(Connection& c, OBJ_HANDLE obj, uint64_t offset, const GRFS_STREAM_INFO& stream,
                               std::span<const unsigned char> data);

// GRFS_VERIFY_OBJ with size bytes of zeros: the agent echoes the size.
Status verify_echo(Connection& c, uint16_t size);

}  // namespace grfs_client
