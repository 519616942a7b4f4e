// Where an open object lives: its full path text (for traces and records),
// the part below the export root, and the directory that holds its last
// component, reached from the export root's descriptor without leaving it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "unixfs/host/confined_path.h"
#include "util/unique_fd.h"

struct DRVDLE;
struct FILE_MEMORY;

// The directory holding an object's last component, and that component.
struct OBJECT_PARENT {
    UniqueFd dir;
    std::string name;
};

// How a read, verify or describe through the attachment may pass links
// below the export root: only with follow_symdirs, and in an export the
// server may write to only where they lead to stays inside the export (else
// a link the server restored itself would open the whole host to it).
// Changes (WRITE opens, link creation) never pass links.
LinkPolicy ReadLinkPolicy(const DRVDLE* drvdle);

// Fills full_path, rel_offset and file_name of the record: the export path,
// then the pieces in order, joined as ConcatPath does. With trailing_slash
// a final "/" is added before the last piece (a file's name goes behind its
// directory). false when the text would not fit (nothing usable is left).
bool SetObjectPath(FILE_MEMORY* rec, const char* export_path, std::string_view dir_part,
                   std::string_view name_part, bool name_is_file);

// Opens the directory holding the object's last component below the
// attachment's export root. 0, or the errno: ELOOP when a symbolic link would
// have been passed, EXDEV for "..", EBADF when the attachment has no root.
int OpenObjectParent(const DRVDLE* drvdle, const FILE_MEMORY* rec, LinkPolicy policy, OBJECT_PARENT* out);

// True for the errors that mean the path would leave the export or pass a
// link it may not pass.
inline bool IsConfinementErrno(int err) { return err == ELOOP || err == EXDEV; }

// The retcode of a failed open: ENOENT -504, EINVAL -495, ENOSPC -506, any
// other -507 (EACCES is handled by the caller's permission retry).
int16_t OpenErrnoToRetcode(int err);
