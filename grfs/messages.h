// GRFS messages: the catalogue of message types and result codes, the host
// form of every request and reply, and the routine that codes a whole message
// in either direction.
#pragma once

#include <cstdint>
#include <span>

#include "grfs/dblk.h"
#include "grfs/xdr.h"
#include "util/uint64.h"

// Message types. Requests run from 1 to 29; replies are numbered from 65.
enum GrfsMsgType : uint8_t {
    GRFS_ATTACH_DLE = 1,
    GRFS_FIND_FIRST_DLE = 2,
    GRFS_FIND_NEXT_DLE = 3,
    GRFS_DETACH_DLE = 4,
    GRFS_FIND_FIRST_OBJ = 5,
    GRFS_FIND_NEXT_OBJ = 6,
    GRFS_FIND_CLOSE = 7,
    GRFS_CREATE_OBJ = 8,
    GRFS_OPEN_OBJ = 9,
    GRFS_READ_OBJ = 10,
    GRFS_WRITE_OBJ = 11,
    GRFS_SEEK_OBJ = 12,
    GRFS_VERIFY_OBJ = 13,
    GRFS_CLOSE_OBJ = 14,
    GRFS_DELETE_OBJ = 15,
    GRFS_GET_OBJ_INFO = 16,
    GRFS_VERIFY_OBJ_INFO = 17,
    GRFS_CHANGE_DIR = 18,
    GRFS_GET_CUR_DDB = 19,
    GRFS_SET_OBJ_INFO = 20,
    GRFS_ENUM_SPECIAL_FIRST = 21,
    GRFS_ENUM_SPECIAL_NEXT = 22,
    GRFS_SPECIAL_EXCLUDE = 23,
    GRFS_PREPARE_DBLK = 24,
    GRFS_READ_OBJ_LARGE = 25,
    GRFS_WRITE_OBJ_LARGE = 26,
    GRFS_SEEK_OBJ_LARGE = 27,
    GRFS_VERIFY_OBJ_LARGE = 28,
    GRFS_GET_INFO = 29,

    GRFS_ATTACH_DLE_STAT = 65,
    GRFS_FIND_DLE_STAT = 66,
    GRFS_DETACH_DLE_STAT = 68,
    GRFS_FIND_OBJ_STAT = 69,
    GRFS_FIND_CLOSE_STAT = 71,
    GRFS_CREATE_OBJ_STAT = 72,
    GRFS_OPEN_OBJ_STAT = 73,
    GRFS_READ_OBJ_STAT = 74,
    GRFS_WRITE_OBJ_STAT = 75,
    GRFS_SEEK_OBJ_STAT = 76,
    GRFS_VERIFY_OBJ_STAT = 77,
    GRFS_CLOSE_OBJ_STAT = 78,
    GRFS_DELETE_OBJ_STAT = 79,
    GRFS_GET_OBJ_INFO_STAT = 80,
    GRFS_VERIFY_OBJ_INFO_STAT = 81,
    GRFS_CHANGE_DIR_STAT = 82,
    GRFS_GET_CUR_DDB_STAT = 83,
    GRFS_SET_OBJ_INFO_STAT = 84,
    GRFS_ENUM_SPECIAL_STAT = 85,
    GRFS_SPECIAL_EXCLUDE_STAT = 87,
    GRFS_PREPARE_DBLK_STAT = 88,
    GRFS_READ_OBJ_LARGE_STAT = 89,
    GRFS_WRITE_OBJ_LARGE_STAT = 90,
    GRFS_SEEK_OBJ_LARGE_STAT = 91,
    GRFS_VERIFY_OBJ_LARGE_STAT = 92,
    GRFS_GET_INFO_STAT = 93,
};

// A reply's type is its request's type plus this (both DLE searches answer
// with GRFS_FIND_DLE_STAT, both object searches with GRFS_FIND_OBJ_STAT).
constexpr uint8_t GRFS_REPLY_OFFSET = 64;

// Result codes carried in a reply's retcode.
enum GrfsRetcode : int16_t {
    GRFS_RC_SUCCESS = 0,
    GRFS_RC_NO_MEMORY = -1,
    GRFS_RC_BAD_DLE_HANDLE = -486,        // dle_id names no live attachment of the right kind
    GRFS_RC_BAD_DESCRIPTOR = -487,        // closing the object's file met a bad descriptor
    GRFS_RC_VERIFY_MISMATCH = -494,
    GRFS_RC_INVALID_REQUEST = -495,       // also lock failure, busy file, malformed request
    GRFS_RC_OPEN_WARNING = -496,          // opened with a warning; the open counts as done
    GRFS_RC_IO_ERROR = -499,              // also a failed close
    GRFS_RC_END_OF_DATA = -500,
    GRFS_RC_BAD_OBJ_HANDLE = -501,        // obj_id names no open object
    GRFS_RC_CHANGE_DIR_FAILED = -503,
    GRFS_RC_NO_SUCH_FILE = -504,
    GRFS_RC_NOT_FOUND = -505,             // no (further) DLE or object; search path too long
    GRFS_RC_NO_SPACE = -506,
    GRFS_RC_ACCESS_DENIED = -507,
    GRFS_RC_WRONG_DBLK_TYPE = -510,
};

constexpr int GRFS_MSG_HEADER_SIZE = 8;
constexpr int GRFS_OBJECT_BUFFER_SIZE = 31744;                  // object data per message
constexpr int GRFS_MAX_MSG_SIZE = GRFS_OBJECT_BUFFER_SIZE + 324;  // 32068: bounds every message
// Room for the data of a write/verify/read body and for a GRFS_CHANGE_DIR
// path: anything that fits in one received message fits here.
constexpr int GRFS_MSG_DATA_MAX = GRFS_MAX_MSG_SIZE;
constexpr int GRFS_DLE_NAME_SIZE = 128;
constexpr int GRFS_USER_SIZE = 48;
constexpr int GRFS_PASSWORD_SIZE = 128;
constexpr int GRFS_SEARCH_NAME_MAX = 12;        // search_name bytes on the wire
constexpr int GRFS_ATTACH_PATH_MAX = 257;        // path of GRFS_ATTACH_DLE_STAT
constexpr int GRFS_INFO_RESERVED_SIZE = 216;
constexpr int GRFS_GET_INFO_STAT_BODY_SIZE = 256;

struct GRFS_MSG_HEADER {
    uint8_t msg_type;
    uint8_t msg_reserved;
    int16_t retcode;
    uint32_t request_id;
};

// ---- request bodies ----

// GRFS_ATTACH_DLE (1). dle_name and password arrive scrambled.
struct GRFS_ATTACH_DLE_BODY {
    char dle_name[GRFS_DLE_NAME_SIZE];
    DLE_HANDLE parent;
    uint16_t vsc_flags;
    uint16_t reason;
    uint16_t bsize;
    uint16_t cmpr_type;
    char user[GRFS_USER_SIZE];
    char password[GRFS_PASSWORD_SIZE];
};

// GRFS_FIND_FIRST_DLE (2), GRFS_FIND_NEXT_DLE (3), GRFS_DETACH_DLE (4),
// GRFS_GET_CUR_DDB (19).
struct GRFS_DLE_REQ_BODY {
    DLE_HANDLE dle_id;
};

// GRFS_FIND_FIRST_OBJ (5). search_name is always zero-terminated after
// decoding (the extra byte holds the zero when 12 bytes arrive without one).
struct GRFS_FIND_FIRST_OBJ_BODY {
    DLE_HANDLE dle_id;
    uint16_t find_type;  // 1 = directories only
    char search_name[GRFS_SEARCH_NAME_MAX + 1];
};

// GRFS_FIND_NEXT_OBJ (6), GRFS_FIND_CLOSE (7), GRFS_CREATE_OBJ (8),
// GRFS_DELETE_OBJ (15), GRFS_GET_OBJ_INFO (16), GRFS_VERIFY_OBJ_INFO (17),
// GRFS_SET_OBJ_INFO (20), GRFS_PREPARE_DBLK (24).
struct GRFS_DBLK_REQ_BODY {
    DLE_HANDLE dle_id;
    GRFS_GEN_DBLK dblk;
};

enum GrfsOpenMode : uint16_t { GRFS_OPEN_READ = 0, GRFS_OPEN_WRITE = 1, GRFS_OPEN_VERIFY = 2 };

// GRFS_OPEN_OBJ (9).
struct GRFS_OPEN_OBJ_BODY {
    DLE_HANDLE dle_id;
    uint16_t mode;
    uint8_t open_reserved1;
    uint8_t open_reserved2;
    GRFS_GEN_DBLK dblk;
};

// GRFS_READ_OBJ (10).
struct GRFS_READ_OBJ_BODY {
    OBJ_HANDLE obj_id;
    uint16_t size;
    uint32_t offset;
};

// GRFS_WRITE_OBJ (11), GRFS_VERIFY_OBJ (13).
struct GRFS_WRITE_OBJ_BODY {
    OBJ_HANDLE obj_id;
    uint32_t offset;
    GRFS_STREAM_INFO stream_info;
    uint16_t size;
    char data[GRFS_MSG_DATA_MAX];
};

// GRFS_SEEK_OBJ (12).
struct GRFS_SEEK_OBJ_BODY {
    OBJ_HANDLE obj_id;
    uint32_t offset;
};

// GRFS_CLOSE_OBJ (14).
struct GRFS_CLOSE_OBJ_BODY {
    OBJ_HANDLE obj_id;
};

// GRFS_CHANGE_DIR (18). net_path holds size bytes; components are separated
// by zero bytes.
struct GRFS_CHANGE_DIR_BODY {
    DLE_HANDLE dle_id;
    int16_t size;
    char net_path[GRFS_MSG_DATA_MAX];
};

// GRFS_READ_OBJ_LARGE (25).
struct GRFS_READ_OBJ_LARGE_BODY {
    OBJ_HANDLE obj_id;
    uint32_t size;
    UINT64 offset;
};

// GRFS_WRITE_OBJ_LARGE (26), GRFS_VERIFY_OBJ_LARGE (28).
struct GRFS_WRITE_OBJ_LARGE_BODY {
    OBJ_HANDLE obj_id;
    UINT64 offset;
    GRFS_STREAM_INFO stream_info;
    uint32_t size;
    char data[GRFS_MSG_DATA_MAX];
};

// GRFS_SEEK_OBJ_LARGE (27).
struct GRFS_SEEK_OBJ_LARGE_BODY {
    OBJ_HANDLE obj_id;
    UINT64 offset;
};

// GRFS_GET_INFO (29); none of it is used.
struct GRFS_GET_INFO_BODY {
    uint32_t reserved1;
    uint32_t reserved2;
    UINT64 reserved3;
};

// ---- reply bodies ----

// GRFS_ATTACH_DLE_STAT (65); coded only when retcode is 0.
struct GRFS_ATTACH_DLE_STAT_BODY {
    DLE_HANDLE dle_id;
    uint16_t max_connects;
    uint16_t opens_per_connect;
    uint16_t dle_capability;
    uint16_t max_obj_bsize;
    BOOLEAN supports_children;
    uint16_t path_len;  // bytes of path with its zero
    uint16_t cmpr_type;
    char path[GRFS_ATTACH_PATH_MAX];
};

// GRFS_FIND_DLE_STAT (66); coded only when retcode is 0.
struct GRFS_FIND_DLE_STAT_BODY {
    char dle_name[GRFS_DLE_NAME_SIZE];
    uint8_t path_delim;
    uint8_t dle_reserved;
    BOOLEAN password_req;
    BOOLEAN user_req;
    BOOLEAN writable;
    BOOLEAN reserved_flag;
    uint8_t os_id;
    uint8_t os_ver;
    uint16_t fs_type;
    uint8_t crypt_type;
    uint8_t cmpr_type;
    BOOLEAN more;
};

// GRFS_FIND_OBJ_STAT (69); more always coded, the rest only when retcode is 0.
struct GRFS_FIND_OBJ_STAT_BODY {
    BOOLEAN more;
    uint8_t find_reserved1;
    uint8_t find_reserved2;
    GRFS_GEN_DBLK dblk;
};

// GRFS_OPEN_OBJ_STAT (73); the DBLK only when retcode is 0 or -496.
struct GRFS_OPEN_OBJ_STAT_BODY {
    OBJ_HANDLE obj_id;
    GRFS_GEN_DBLK dblk;
};

// GRFS_READ_OBJ_STAT (74).
struct GRFS_READ_OBJ_STAT_BODY {
    uint16_t size;
    uint16_t blk_size;
    GRFS_STREAM_INFO stream_info;
    char data[GRFS_MSG_DATA_MAX];
};

// GRFS_WRITE_OBJ_STAT (75), GRFS_VERIFY_OBJ_STAT (77).
struct GRFS_WRITE_OBJ_STAT_BODY {
    uint16_t size;
    uint16_t blk_size;
};

// GRFS_SEEK_OBJ_STAT (76); coded only when retcode is 0.
struct GRFS_SEEK_OBJ_STAT_BODY {
    uint32_t seek_offset;
};

// GRFS_GET_OBJ_INFO_STAT (80), GRFS_GET_CUR_DDB_STAT (83),
// GRFS_PREPARE_DBLK_STAT (88); coded only when retcode is 0.
struct GRFS_DBLK_STAT_BODY {
    GRFS_GEN_DBLK dblk;
};

// GRFS_READ_OBJ_LARGE_STAT (89).
struct GRFS_READ_OBJ_LARGE_STAT_BODY {
    uint32_t size;
    uint32_t blk_size;
    GRFS_STREAM_INFO stream_info;
    char data[GRFS_MSG_DATA_MAX];
};

// GRFS_WRITE_OBJ_LARGE_STAT (90), GRFS_VERIFY_OBJ_LARGE_STAT (92).
struct GRFS_WRITE_OBJ_LARGE_STAT_BODY {
    uint32_t size;
    uint32_t blk_size;
};

// GRFS_SEEK_OBJ_LARGE_STAT (91); coded only when retcode is 0.
struct GRFS_SEEK_OBJ_LARGE_STAT_BODY {
    UINT64 seek_offset;
};

// GRFS_GET_INFO_STAT (93).
struct GRFS_GET_INFO_STAT_BODY {
    uint32_t ver;
    uint32_t len;
    DATE_TIME local_time;
    DATE_TIME universal_time;
    char info_reserved[GRFS_INFO_RESERVED_SIZE];
};

// One message in host form. Header-only messages use no body member.
struct GRFS_MESSAGE {
    GRFS_MSG_HEADER hdr;
    union {
        GRFS_ATTACH_DLE_BODY attach_dle;
        GRFS_DLE_REQ_BODY dle_req;
        GRFS_FIND_FIRST_OBJ_BODY find_first_obj;
        GRFS_DBLK_REQ_BODY dblk_req;
        GRFS_OPEN_OBJ_BODY open_obj;
        GRFS_READ_OBJ_BODY read_obj;
        GRFS_WRITE_OBJ_BODY write_obj;
        GRFS_SEEK_OBJ_BODY seek_obj;
        GRFS_CLOSE_OBJ_BODY close_obj;
        GRFS_CHANGE_DIR_BODY change_dir;
        GRFS_READ_OBJ_LARGE_BODY read_obj_large;
        GRFS_WRITE_OBJ_LARGE_BODY write_obj_large;
        GRFS_SEEK_OBJ_LARGE_BODY seek_obj_large;
        GRFS_GET_INFO_BODY get_info;

        GRFS_ATTACH_DLE_STAT_BODY attach_dle_stat;
        GRFS_FIND_DLE_STAT_BODY find_dle_stat;
        GRFS_FIND_OBJ_STAT_BODY find_obj_stat;
        GRFS_OPEN_OBJ_STAT_BODY open_obj_stat;
        GRFS_READ_OBJ_STAT_BODY read_obj_stat;
        GRFS_WRITE_OBJ_STAT_BODY write_obj_stat;
        GRFS_SEEK_OBJ_STAT_BODY seek_obj_stat;
        GRFS_DBLK_STAT_BODY dblk_stat;
        GRFS_READ_OBJ_LARGE_STAT_BODY read_obj_large_stat;
        GRFS_WRITE_OBJ_LARGE_STAT_BODY write_obj_large_stat;
        GRFS_SEEK_OBJ_LARGE_STAT_BODY seek_obj_large_stat;
        GRFS_GET_INFO_STAT_BODY get_info_stat;
    } body;
};

// Allocate message records as sizeof(GRFS_MESSAGE) bytes (request and reply
// alike); the record also fits the session's coding buffer.
static_assert(sizeof(GRFS_MESSAGE) <= GRFS_MAX_MSG_SIZE + 100);
// A DBLK record holds the largest block a request can carry.
static_assert(kMaxDblkSize == GRFS_MAX_MSG_SIZE - GRFS_MSG_HEADER_SIZE - static_cast<int>(sizeof(DLE_HANDLE)));

// How well the bytes of a message matched its layout.
enum GrfsCodeStatus : int {
    GRFS_CODE_COMPLETE = 0,
    // The buffer ended before the layout did, or before the bytes that a
    // length field counts (also a DBLK shorter than its own fixed part).
    GRFS_CODE_INCOMPLETE = 1,
    // A length field counts more bytes than the record has room for; only
    // the bytes that fit were coded.
    GRFS_CODE_OVERSIZED = 2,
};

// Codes msg with xdr in the coder's direction and returns the body length:
// spec_msg_size is the length that the caller states (the reply's body
// length when encoding, the number of received bytes when decoding). With
// spec_msg_size 0 only the header is coded; for a type without a layout the
// header is coded and spec_msg_size returned. Never reads or writes outside
// the record or at/after xdr->limit. When status is given it receives how
// the run went.
int grfs_xdr_message(GRFS_XDR* xdr, GRFS_MESSAGE* msg, int spec_msg_size,
                     GrfsCodeStatus* status = nullptr);

// Decodes one received request (header and body, exactly the received bytes,
// nothing past them is read) into msg. Returns GRFS_CODE_COMPLETE when every
// field the layout and its length fields call for was present and fitted;
// *body_length (when given) receives grfs_xdr_message's result. The fixed
// fields of msg are cleared first, so fields the sender did not supply read
// as zero; bytes of a data array past its length field keep whatever they
// held. When data is given, the data array of a write request (and of the
// verify requests that share its layouts) is not copied into msg: *data
// receives where its bytes lie in received, and is empty for every other
// request.
GrfsCodeStatus grfs_decode_request(std::span<const unsigned char> received, GRFS_MESSAGE* msg,
                                   int* body_length = nullptr, std::span<const unsigned char>* data = nullptr);

// The body record a request type travels in; several types share one.
enum class RequestBody : uint8_t {
    none,  // not a request, or one without a layout (21 to 23)
    attach_dle,
    dle_req,
    find_first_obj,
    dblk_req,
    open_obj,
    read_obj,
    write_obj,
    seek_obj,
    close_obj,
    change_dir,
    read_obj_large,
    write_obj_large,
    seek_obj_large,
    get_info,
};
RequestBody request_body(int msg_type);

// The catalogue name of type, or "** Unknown type %d **" (one static buffer,
// overwritten by the next call for an unknown type).
const char* type_to_str(int type);

// The name table: 55 rows of (type, name).
struct GRFS_MSG_TYPE_NAME {
    int type;
    const char* name;
};
extern const GRFS_MSG_TYPE_NAME msg_type_str_array[];
extern const int msg_type_str_array_size;
