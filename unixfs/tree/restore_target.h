// Naming the object of a restore, set-information, verify or delete request:
// the full path text that traces and records show, and the directory that
// holds the object, reached from the export root's descriptor without
// leaving the export. The *at calls then act on the last component.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "grfs/dblk.h"
#include "unixfs/host/confined_path.h"
#include "unixfs/host/paths.h"
#include "util/unique_fd.h"

struct DRVDLE;

struct RESTORE_TARGET {
    std::string full_path;  // the export path joined with rel
    std::string rel;        // relative to the export root ("/a/b" form)
    UniqueFd parent;        // directory that holds the last component
    std::string name;       // the last component; empty for the export root
};

// The part of full below export_path, or false when full does not lie there.
bool RelativeToExport(const char* export_path, std::string_view full, std::string* rel);

// True when the block carries this agent's Unix information.
bool DblkHasUnixInfo(const GRFS_GEN_DBLK* dblk);

// True when the export of the attachment is write-protected: the dispatcher
// then refuses creating, deleting, setting information and a WRITE open.
bool ExportWriteProtected(const DRVDLE* drvdle);

// Fills full_path and rel for a file block (export path, current directory,
// name) or a directory block (export path, path). 0; -495 for an unsound
// text; -507 for a ".." component; -510 for another block type.
int BuildTargetPaths(const DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk, RESTORE_TARGET* target);

// As BuildTargetPaths for a path already relative to the export root.
void SetTargetRel(const DRVDLE* drvdle, std::string_view rel, RESTORE_TARGET* target);

// Opens target->parent and sets target->name. 0, or the errno of the
// failure: ELOOP when a symbolic link would have been passed, EXDEV for "..".
int OpenTargetParent(const DRVDLE* drvdle, RESTORE_TARGET* target, LinkPolicy policy);

// True for the errors OpenTargetParent reports when a path would leave the
// export or pass a link it may not pass.
inline bool IsConfinementError(int err) { return err == ELOOP || err == EXDEV; }

struct GRFS_SESSION;
struct GRFS_MESSAGE;

// A handler's action on the object a request's DBLK names.
using DblkAction = int (*)(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk);

// Checks the block and acts by its type: -495 for a block whose sizes do
// not hold, -510 for neither a file nor a directory block.
int ActOnDblk(DRVDLE* drvdle, const GRFS_GEN_DBLK* dblk, DblkAction on_dir, DblkAction on_file);

// The shape shared by the requests that change one object named by a DBLK
// (create, delete): check the attachment and the block,
// act by block type, and answer with a header-only reply of reply_type.
// Returns the retcode, or 1 when the reply could not be sent.
int AnswerObjectChange(GRFS_SESSION* ses, GRFS_MESSAGE* req, uint8_t reply_type, DblkAction on_dir,
                       DblkAction on_file);
