#include "unixfs/object/object_location.h"

#include <cerrno>
#include <cstring>

#include "grfs/messages.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/host/paths.h"
#include "unixfs/session/workstation.h"

LinkPolicy ReadLinkPolicy(const DRVDLE* drvdle) {
    // An object whose attachment was detached reaches nothing (OpenObjectParent).
    if (drvdle == nullptr || AttachmentWs(drvdle)->follow_symdirs == 0) return LinkPolicy::kNoLinks;
    const bool writable = drvdle->dle == nullptr || drvdle->dle->writable != 0;
    return writable ? LinkPolicy::kFollowLinksBeneath : LinkPolicy::kFollowLinks;
}

bool SetObjectPath(FILE_MEMORY* rec, const char* export_path, std::string_view dir_part,
                   std::string_view name_part, bool name_is_file) {
    // Three separators at most are added to the pieces; the room grows to
    // fit them (the export path is shorter than PATH_MAX, so the offset of
    // the relative part fits its field).
    const size_t size = std::strlen(export_path) + dir_part.size() + name_part.size() + 4;
    if (!ReserveFullPath(rec, size)) return false;
    std::string dir(dir_part);
    char* path = rec->full_path;
    path[0] = '\0';
    ConcatPath(path, size, export_path);
    rec->rel_offset = static_cast<uint16_t>(std::strlen(path));
    if (name_is_file) {
        ConcatPath(path, size, dir.c_str());
        if (path[0] != '\0') ConcatPath(path, size, "/");
        size_t len = std::strlen(path);
        rec->file_name = path + len;
        std::memcpy(path + len, name_part.data(), name_part.size());
        path[len + name_part.size()] = '\0';
    } else {
        ConcatPath(path, size, dir.c_str());
        const char* slash = std::strrchr(path, '/');
        rec->file_name = slash != nullptr ? const_cast<char*>(slash) + 1 : path;
    }
    return true;
}

int OpenObjectParent(const DRVDLE* drvdle, const FILE_MEMORY* rec, LinkPolicy policy, OBJECT_PARENT* out) {
    if (drvdle == nullptr || drvdle->root_fd < 0) return EBADF;
    out->dir = OpenParentBeneath(drvdle->root_fd, ObjectRelPath(rec), policy, out->name);
    if (!out->dir.valid()) return errno != 0 ? errno : ENOENT;
    return 0;
}

int16_t OpenErrnoToRetcode(int err) {
    switch (err) {
    case ENOENT:
        return GRFS_RC_NO_SUCH_FILE;
    case EINVAL:
        return GRFS_RC_INVALID_REQUEST;
    case ENOSPC:
        return GRFS_RC_NO_SPACE;
    default:
        return GRFS_RC_ACCESS_DENIED;
    }
}
