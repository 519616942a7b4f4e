// The record of one open object, and the object byte sequence it serves:
// the data stream of a file, then the Unix EA stream (a symbolic link's
// record), then, with posix_acls, the ACL stream (object_streams.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "grfs/xdr.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/object/sparse_state.h"
#include "util/queue.h"
#include "util/uint64.h"

class SplicePipe;
struct DRVDLE;
struct GRFS_SESSION;
struct XATTR_STREAM;
struct LINUX_META_STREAM;

constexpr uint32_t FILE_MEMORY_MARKER = 0x11101965;
constexpr uint32_t kPrereadBufSize = 31744;
constexpr uint32_t kInitialEaSpaceSize = 16384;
constexpr uint32_t kMaxEaSpaceSize = 65536;  // the EA buffer stays below this
// The room the path of an object starts with; it grows to whatever an
// export path, a current directory and a name need, so that the path is
// never cut (the name in a link record comes from it).
constexpr size_t kFullPathSize = 1024;

constexpr uint32_t STRM_STANDARD = 0x4E415453;   // "STAN" on the wire
constexpr uint32_t STRM_UNIX_EA = 0x554E324F;    // "O2NU" on the wire
constexpr uint32_t STRM_SOLX86_ACL = 0x4C434149; // "IACL"
constexpr uint32_t STRM_SOL_ACL = 0x4C434153;    // "SACL"

enum FileMemoryKind : uint16_t { MEM_KIND_DEFAULT = 1, MEM_KIND_ALLOCATED = 2 };
enum OpenMode : uint16_t { OPEN_MODE_READ = 0, OPEN_MODE_WRITE = 1, OPEN_MODE_VERIFY = 2 };

// One ACL entry as the host's acl interface returns it: 12 bytes in host
// order, the permission bits (4 read, 2 write, 1 execute) followed by two
// bytes of zero. The ACL stream carries these bytes as they are.
struct SOL_ACL_ENTRY {
    int32_t a_type;
    uint32_t a_id;
    uint16_t a_perm;
    uint16_t a_pad;
};
static_assert(sizeof(SOL_ACL_ENTRY) == 12);

// Owner and times that set information gave a symbolic link before the
// close that makes it; applied when the link is made.
struct PENDING_LINK_INFO {
    uint16_t set;
    uint32_t uid;  // (uint32_t)-1: left as made
    uint32_t gid;
    timespec times[2];  // access, modification; UTIME_OMIT where the block has none
};

// How the record ends a part that one of its stream modules makes and owns
// (the LXAT stream, the piped read-ahead, the bytes held of the session's
// stream budget): the module registers the routine on the record when it
// makes the part, so that the record ends every part without including the
// module. A routine left null has nothing to end.
struct FILE_MEMORY;
using PartRelease = void (*)(FILE_MEMORY* rec);

struct FILE_MEMORY {
    QElem link;                  // element of the session's object_list
    uint16_t mem_kind;
    uint32_t marker;             // FILE_MEMORY_MARKER while open
    uint16_t open_mode;
    uint16_t dblktype;           // 8 directory, 9 file
    UINT64 obj_pos;
    UINT64 total_size;
    DRVDLE* dle;                 // attachment the object was opened through
    uint32_t dle_id;             // its handle: the attachment may be detached before close
    int32_t data_hand;           // -1 none (links, devices), 0 for directories
    UINT64 data_size;
    UINT64 data_offset;
    UINT64 ea_space_size;
    unsigned char* ea_space;
    UINT64 ea_space_pos;
    UINT64 ea_size;
    UINT64 ea_offset;
    unsigned char* preread_buf;
    uint32_t preread_bufsize;
    uint32_t preread_datasize;
    uint32_t preread_offset;
    SplicePipe* preread_pipe;    // made at the first piped read-ahead of the record, kept for its life
    uint16_t preread_piped;      // this open's read-ahead lives in preread_pipe (read_ahead_pipe.h)
    uint64_t advised_end;        // file offset up to which the kernel was asked to read ahead (read_ahead_advice.h)
    GRFS_STREAM_INFO cur_stream;
    uint32_t file_mode;
    char* full_path;             // full_path_size bytes, never null while the record lives
    uint32_t full_path_size;
    char* file_name;             // into full_path: the object's own name
    uint16_t rel_offset;         // full_path + rel_offset: the path below the export root
    uint16_t symlink_pending;
    int32_t sol_acl_space;
    int32_t sol_acl_cnt;
    SOL_ACL_ENTRY* sol_acls;
    uint16_t acl_stream;         // the object carries the ACL stream (posix_acls)
    uint32_t handle;             // obj_id issued for this open
    SPARSE_STATE sparse;         // holes: found when reading, left when restoring
    XATTR_STREAM* lxat;          // the LXAT stream (unixfs/object/object_xattr.h), or nullptr
    LINUX_META_STREAM* lxmd;     // the LXMD stream (unixfs/object/object_linux_meta.h), or nullptr
    uint64_t stream_bytes;       // what its collected streams hold of the session's budget (stream_budget.h)
    GRFS_SESSION* session;       // the session that opened it, whose workstation record applies
    uint16_t made_here;          // a WRITE open landed on an inode this session made (created_objects.h)
    PENDING_LINK_INFO link_info; // set information for the link this WRITE open makes at close
    // The releases of the parts that stream modules own (PartRelease).
    PartRelease release_lxat;      // frees the LXAT stream (object_xattr.h)
    PartRelease release_lxmd;      // frees the LXMD stream (object_linux_meta.h)
    PartRelease drop_read_ahead;   // empties the read-ahead pipe (read_ahead_pipe.h)
    PartRelease free_read_ahead;   // frees that pipe with the record
    PartRelease give_back_budget;  // gives back what the record holds of the budget (stream_budget.h)
};

// Runs a part's release when the part has one.
inline void ReleasePart(PartRelease release, FILE_MEMORY* rec) {
    if (release != nullptr) release(rec);
}

inline FILE_MEMORY* LookupObject(const GRFS_SESSION* ses, uint32_t obj_id) {
    return static_cast<FILE_MEMORY*>(LookupHandle(ses->handles, obj_id, HANDLE_KIND_OBJECT));
}

// The open object an obj_id names, or nullptr (answered with -501).
inline FILE_MEMORY* LookupOpenObject(const GRFS_SESSION* ses, uint32_t obj_id) {
    FILE_MEMORY* rec = LookupObject(ses, obj_id);
    return rec != nullptr && rec->marker == FILE_MEMORY_MARKER ? rec : nullptr;
}

// The path of an open object relative to its export root.
inline const char* ObjectRelPath(const FILE_MEMORY* rec) { return rec->full_path + rec->rel_offset; }

// A record of the given kind for an open in the given mode, with its
// buffers (the read-ahead buffer only for READ and VERIFY); nullptr when
// memory is short (nothing stays allocated).
FILE_MEMORY* AllocFileMemory(uint16_t kind, uint16_t open_mode);
// Makes full_path hold size bytes at least (its text is kept; file_name
// must be set again). false when memory is short (nothing changed).
bool ReserveFullPath(FILE_MEMORY* rec, size_t size);
// Ends a record's use: its handle stops resolving; an allocated record is
// freed with its buffers, the session's own record is reset for the next
// open and marked free. The caller has taken it off object_list; ses is the
// session that issued its handle.
void ReleaseFileMemory(GRFS_SESSION* ses, FILE_MEMORY* rec);
// Frees a record of either kind with its buffers (the session's own record
// at session end).
void FreeFileMemory(FILE_MEMORY* rec);
// Clears what one open left in a record (positions, sizes, stream, read-ahead
// fill, descriptor number); buffers and handle stay.
void ClearObjectState(FILE_MEMORY* rec);
// Session end: takes every record off object_list, closes the descriptor
// of each file object and releases the record. default_object stays.
void ReleaseAllObjects(GRFS_SESSION* ses);
// Session end, after ReleaseAllObjects: frees default_object.
void FreeDefaultObject(GRFS_SESSION* ses);
