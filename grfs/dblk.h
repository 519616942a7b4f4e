// The data block (DBLK) that describes a volume, directory or file: a fixed
// part of 176 bytes, a type part inside it for directories and files, and a
// variable area of texts and Unix OS-specific information after it, all in
// one record. Offsets stored in the block count from its first byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "grfs/xdr.h"
#include "util/uint64.h"

constexpr int GRFS_DBLK_NET_SIZE = 176;  // fixed part, on the wire and in memory
constexpr int GRFS_DBLK_COMMON_SIZE = 168;  // fixed part without the type part

// Room of one DBLK record, fixed part included: as large as a block can be
// in the largest message (32068 bytes, less the 8-byte header and the 4-byte
// dle_id ahead of the block). The agent's own largest block is far smaller
// (a directory with a 256-character path: 750 bytes), but a server may send
// any block that fits its message. A received block claiming more is
// refused, never stored in part.
constexpr int kMaxDblkSize = 32068 - 8 - 4;
constexpr int kDblkVarAreaSize = kMaxDblkSize - GRFS_DBLK_NET_SIZE;

enum DblkType : uint8_t {
    UDB_ID = 0,
    VCB_ID = 1,
    DDB_ID = 8,   // directory
    FDB_ID = 9,   // file: every object that is not a directory
    IDB_ID = 10,
    CFDB_ID = 11,
};

// Trace names indexed by types 0..11; other types are "INVALID_DBLK_TYPE".
extern const char* const dblk_types_strings[12];
const char* dblk_type_name(int type);

constexpr uint8_t DBLK_OS_ID_UNIX = 20;
constexpr uint8_t DBLK_OS_VER_UNIX = 0;

// Type part of a directory block (offsets 168..175).
struct GRFS_DDB_PART {
    uint16_t os_path;       // offset of the path in OS form
    uint16_t os_path_leng;  // its length with the zero
    uint16_t path_leng;     // length of the generic path with the zero
    uint16_t path;          // offset of the generic path
};

// Type part of a file block (offsets 168..175).
struct GRFS_FDB_PART {
    BOOLEAN in_use;
    uint16_t os_name;       // offset of the name in OS form
    uint16_t name;          // offset of the generic name
    uint16_t fdb_reserved;
};

struct GRFS_GEN_DBLK {
    uint8_t dblk_type;
    uint8_t dblk_reserved1;
    uint8_t dblk_reserved2[58];
    uint8_t os_id;             // 20 for Unix information
    uint8_t os_ver;            // 0
    uint8_t dblk_reserved3[2];
    DATE_TIME creation_time;   // st_ctime
    DATE_TIME access_time;     // st_atime
    DATE_TIME archived_time;   // not assigned (date_valid 0)
    DATE_TIME modified_time;   // st_mtime
    UINT64 size;
    uint32_t gen_attr;
    BOOLEAN os_info_complete;
    uint16_t min_ddb_info;
    uint16_t min_ddb_size;
    uint16_t os_spec_info;     // offset of the OS-specific information, 0 none
    uint16_t os_spec_size;
    uint16_t dblk_actual_size; // the whole block, fixed part included
    uint16_t tape_attribs;
    BOOLEAN dblk_reserved4;
    uint16_t find_info;
    uint16_t find_info_size;
    BOOLEAN translate;
    BOOLEAN special_flag;
    uint16_t obj_type;
    uint8_t dblk_reserved5[2];
    union {
        GRFS_DDB_PART ddb;     // dblk_type 8
        GRFS_FDB_PART fdb;     // dblk_type 9
    } type_part;
    uint8_t var_area[kDblkVarAreaSize];  // block offsets 176 and up
};

static_assert(offsetof(GRFS_GEN_DBLK, os_id) == 60);
static_assert(offsetof(GRFS_GEN_DBLK, creation_time) == 64);
static_assert(offsetof(GRFS_GEN_DBLK, size) == 128);
static_assert(offsetof(GRFS_GEN_DBLK, os_spec_info) == 146);
static_assert(offsetof(GRFS_GEN_DBLK, dblk_actual_size) == 150);
static_assert(offsetof(GRFS_GEN_DBLK, obj_type) == 164);
static_assert(offsetof(GRFS_GEN_DBLK, type_part) == 168);
static_assert(offsetof(GRFS_GEN_DBLK, var_area) == GRFS_DBLK_NET_SIZE);
static_assert(sizeof(GRFS_GEN_DBLK) == kMaxDblkSize);

// The block's bytes, for offsets that count from its first byte.
inline uint8_t* dblk_bytes(GRFS_GEN_DBLK* dblk) { return reinterpret_cast<uint8_t*>(dblk); }
inline const uint8_t* dblk_bytes(const GRFS_GEN_DBLK* dblk) {
    return reinterpret_cast<const uint8_t*>(dblk);
}

// The bytes of the block that exist: dblk_actual_size, but never more than
// the record's room. Everything that walks a block stays below this.
size_t dblk_extent(const GRFS_GEN_DBLK* dblk, size_t room = sizeof(GRFS_GEN_DBLK));

// The zero-terminated text at block offset `offset`, or nullptr unless the
// text starts in the variable area and its zero byte lies inside the block.
// Every reader of names and paths out of a received block goes through this.
const char* dblk_text_at(const GRFS_GEN_DBLK* dblk, uint16_t offset,
                         size_t room = sizeof(GRFS_GEN_DBLK));

// ---- Unix OS-specific information ----
// Numbers in host order in memory, big-endian on the wire (each field
// reversed as one unit; os_info_version, pads, reserved bytes and the
// directory's path copy never). Inside a block the information sits at any
// offset, so copy it out (FillFileInfoFromDblk, FillDirInfoFromDblk) rather
// than casting a pointer to it.

// File information, versioned form (os_info_version 1).
struct UNIX_FILE_OS_INFO {
    uint32_t st_dev;
    uint32_t st_rdev;
    uint32_t st_mode;
    uint32_t st_uid;
    uint32_t st_gid;
    UINT64 st_size;
    uint8_t os_info_reserved[12];
    uint16_t os_info_version;
    uint8_t os_info_pad[2];
    UINT64 st_ino;
    uint32_t st_nlink;
};

// Older file forms: 64-bit size (28 bytes) and 32-bit size (24 bytes).
struct UNIX_FILE_OS_INFO_64 {
    uint32_t st_dev;
    uint32_t st_rdev;
    uint32_t st_mode;
    uint32_t st_uid;
    uint32_t st_gid;
    UINT64 st_size;
};
struct UNIX_FILE_OS_INFO_32 {
    uint32_t st_dev;
    uint32_t st_rdev;
    uint32_t st_mode;
    uint32_t st_uid;
    uint32_t st_gid;
    uint32_t st_size;
};

// Directory information, versioned form; a copy of the directory's path
// (dir_path_length bytes) follows it at dir_path_offset (56). The older form
// is its first 40 bytes (up to dir_path_length), then the path copy.
struct UNIX_DIR_OS_INFO {
    uint32_t st_dev;
    uint32_t st_rdev;
    uint32_t st_mode;
    uint32_t st_uid;
    uint32_t st_gid;
    DATE_TIME access_date;
    uint16_t dir_path_offset;
    uint16_t dir_path_length;
    uint16_t os_info_version;
    uint8_t os_info_pad[2];
    UINT64 st_ino;
    uint32_t st_nlink;
};

constexpr int kUnixFileOsInfoSize = 56;
constexpr int kUnixFileOsInfo64Size = 28;
constexpr int kUnixFileOsInfo32Size = 24;
constexpr int kUnixDirOsInfoSize = 56;
constexpr int kUnixDirOsInfoOldSize = 40;
constexpr uint16_t kOsInfoVersion = 1;

static_assert(sizeof(UNIX_FILE_OS_INFO) == kUnixFileOsInfoSize);
static_assert(offsetof(UNIX_FILE_OS_INFO, os_info_version) == 40);
static_assert(offsetof(UNIX_FILE_OS_INFO, st_ino) == 44);
static_assert(sizeof(UNIX_FILE_OS_INFO_64) == kUnixFileOsInfo64Size);
static_assert(sizeof(UNIX_FILE_OS_INFO_32) == kUnixFileOsInfo32Size);
static_assert(sizeof(UNIX_DIR_OS_INFO) == kUnixDirOsInfoSize);
static_assert(offsetof(UNIX_DIR_OS_INFO, dir_path_offset) == 36);
static_assert(offsetof(UNIX_DIR_OS_INFO, st_ino) == 44);
static_assert(offsetof(UNIX_DIR_OS_INFO, os_info_version) == kUnixDirOsInfoOldSize);

// Variants of the OS-specific information (DblkOsInfoType's result).
enum DblkOsInfoKind : int {
    DBLK_OSINFO_INVALID = 1,
    DBLK_OSINFO_EMPTY = 2,
    DBLK_OSINFO_FILE_32 = 3,      // os_spec_size 24
    DBLK_OSINFO_FILE_64 = 4,      // os_spec_size 28
    DBLK_OSINFO_DIR_OLD = 5,      // information size 40
    DBLK_OSINFO_VERSIONED = 6,
};

// ---- routines ----

// Codes one DBLK in the coder's direction and returns dblk_actual_size (the
// decoded value when decoding). room is the record's size in bytes (at least
// GRFS_DBLK_NET_SIZE). Encoding leaves the record's OS-specific information
// in wire order; decoding leaves it in host order. Only the bytes inside both
// the block and the record are coded; a block claiming more than room sets
// xdr->oversized, one claiming less than its fixed part xdr->short_dblk, and
// missing wire bytes xdr->overrun. Blocks of types other than 8 and 9 carry
// 168 bytes of fixed part (no type part) and then their variable area
// (offset 176 up to dblk_actual_size); for them 168 bytes are a whole block.
int grfs_xdr_GRFS_GEN_DBLK(GRFS_XDR* xdr, GRFS_GEN_DBLK* dblk, size_t room = sizeof(GRFS_GEN_DBLK));

// Converts the OS-specific information between host and wire (big-endian)
// order in place; its own inverse. Fields outside the variable area or past
// the block are left alone.
void ByteSwapOSInfo(GRFS_GEN_DBLK* dblk, size_t room = sizeof(GRFS_GEN_DBLK));

// The variant of the block's OS-specific information (DblkOsInfoKind).
int DblkOsInfoType(const GRFS_GEN_DBLK* dblk);

// Fill a versioned record from a block of any variant (directory: without
// the path copy). Bytes the block does not hold read as zero.
void FillFileInfoFromDblk(UNIX_FILE_OS_INFO* info, const GRFS_GEN_DBLK* dblk,
                          size_t room = sizeof(GRFS_GEN_DBLK));
void FillDirInfoFromDblk(UNIX_DIR_OS_INFO* info, const GRFS_GEN_DBLK* dblk,
                         size_t room = sizeof(GRFS_GEN_DBLK));

// Copies the block src (its dblk_actual_size bytes, at least the fixed part,
// at most one record) to dst.
void copy_dblk(GRFS_GEN_DBLK* dst, const GRFS_GEN_DBLK* src);
