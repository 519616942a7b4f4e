#include "unixfs/tree/object_describe.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>

#include "mount/mount_list.h"
#include "unixfs/session/attach_records.h"
#include "unixfs/host/paths.h"
#include "unixfs/session/workstation.h"
#include "util/debug_print.h"

namespace {

void CopyName(DTA* dta, const char* name) {
    const size_t len = strnlen(name, sizeof dta->achName - 1);
    std::memcpy(dta->achName, name, len);
    dta->achName[len] = '\0';
}

// The common tail of both FillinDTA forms, once lstat has answered.
int FinishDTA(const char* path, const char* name, int stat_result, int stat_errno, bool is_link_to_dir,
              const struct stat* target, DTA* dta) {
    if (stat_result != 0) {
        DEBUG_PRINTF(DBG_CONFIG, "lstat of %s failed.  errno=%d\n", path, stat_errno);
        CopyName(dta, name);
        return stat_errno == ENOENT ? -504 : -499;
    }
    DEBUG_PRINTF(DBG_DATA, "Object(%s)  dev=0x%x mode=0x%x\n", path, static_cast<unsigned>(dta->stat_info.st_dev),
                 static_cast<unsigned>(dta->stat_info.st_mode));
    if (is_link_to_dir) {
        DEBUG_PRINTF(DBG_DATA, "Returning link as directory.  mode=0x%x\n", static_cast<unsigned>(target->st_mode));
        dta->stat_info = *target;
    }
    dta->attrFile = Unix_stat_to_attr(&dta->stat_info);
    CopyName(dta, name);
    return 0;
}

}  // namespace

uint32_t Unix_stat_to_attr(const struct stat* stat_info) {
    uint32_t attr = 0;
    if (S_ISDIR(stat_info->st_mode)) attr |= FILE_DIRECTORY;
    if ((stat_info->st_mode & (S_IRUSR | S_IRGRP | S_IROTH)) == 0) attr |= FILE_READ_NONE;
    return attr;
}

int FillinDTA(const WS_CNTL* ws, const char* directory, const char* name, DTA* dta) {
    std::string path = JoinPath(directory, name);
    if (path.empty()) path.push_back('/');
    int result = lstat(path.c_str(), &dta->stat_info);
    int err = errno;
    struct stat target {};
    bool link_to_dir = result == 0 && ws->follow_symdirs && S_ISLNK(dta->stat_info.st_mode) &&
                       stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    return FinishDTA(path.c_str(), name, result, err, link_to_dir, &target, dta);
}

bool LinkedDirectory(int dir_fd, const char* name, const LINK_FOLLOW& follow, struct stat* target) {
    if (follow.policy == LinkPolicy::kNoLinks) return false;
    if (follow.policy == LinkPolicy::kFollowLinks) {
        return fstatat(dir_fd, name, target, 0) == 0 && S_ISDIR(target->st_mode);
    }
    UniqueFd dir = OpenDirBeneath(follow.root_fd, JoinPath(follow.dir_rel, name), follow.policy);
    return dir.valid() && fstat(dir.get(), target) == 0;
}

int FillinDTAAt(int dir_fd, const char* directory, const char* name, const LINK_FOLLOW& follow, DTA* dta) {
    // The full path only names the object in trace lines: joined only when
    // they are written.
    std::string joined;
    if ((grfs_debug & (DBG_CONFIG | DBG_DATA)) != 0) joined = JoinPath(directory, name);
    const char* path = joined.c_str();
    if (std::strlen(name) >= sizeof dta->achName) return FinishDTA(path, name, -1, ENAMETOOLONG, false, nullptr, dta);
    // The last component itself is never followed here: a link is described
    // as a link unless follow makes a link to a directory count as one.
    int flags = AT_SYMLINK_NOFOLLOW | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    int result = fstatat(dir_fd, name, &dta->stat_info, flags);
    int err = errno;
    struct stat target {};
    bool link_to_dir = result == 0 && S_ISLNK(dta->stat_info.st_mode) && LinkedDirectory(dir_fd, name, follow, &target);
    return FinishDTA(path, name, result, err, link_to_dir, &target, dta);
}

bool check_exclude_list(const WS_CNTL* ws, const char* path) {
    // Asked for every listed entry against every exclude entry; the texts
    // mostly differ right after the leading "/", so they are compared in
    // place rather than by a call each.
    for (const EXCLUDE_ENTRY* entry = ws->exclude_list; entry != nullptr; entry = entry->next) {
        const char* a = entry->name;
        if (a == nullptr) continue;
        const char* b = path;
        while (*a == *b && *a != '\0') {
            ++a;
            ++b;
        }
        if (*a == *b) return true;
    }
    return false;
}

bool FileIsNFS(dev_t device, const char* path) {
    // Same device as "/" is local for certain; anything else is what the
    // mount lists say (file systems without inode counts are not remote).
    DEBUG_PRINTF(DBG_CONFIG, "FileIsNFS: st_dev=%d gb_root_dev_id=%d\n", static_cast<int>(device),
                 static_cast<int>(gb_root_dev_id));
    if (device == gb_root_dev_id) return false;
    bool remote = NFS(path) != 0;
    if (remote) {
        DEBUG_PRINTF(DBG_CONFIG, "FileIsNFS: Is true on SOL_23 for %s\n", path);
    } else {
        DEBUG_PRINTF(DBG_CONFIG, "FileIsNFS: Is false on SOL_23 for %s\n", path);
    }
    return remote;
}

bool SkipObject(const WS_CNTL* ws, const DTA* dta, const char* dir_path, int find_type, const DRVDLE* drvdle) {
    DEBUG_PRINTF(DBG_CONFIG, "SkipObject(%s): attrFile=0x%x\n", dta->achName, dta->attrFile);
    if (dta->attrFile == FILE_NEVER_LISTED) {
        DEBUG_PRINTF(DBG_CONFIG, "SkipObject: attrfile=0xFFFF, returning TRUE\n");
        return true;
    }
    bool is_dir = (dta->attrFile & FILE_DIRECTORY) != 0;
    if (find_type == OBJECT_DIR && !is_dir) {
        DEBUG_PRINTF(DBG_CONFIG, "SkipObject: find_type == OBJECT_DIR, attrfile != FILE_DIRECTORY\n");
        return true;
    }
    if (is_dir && (std::strcmp(dta->achName, ".") == 0 || std::strcmp(dta->achName, "..") == 0)) return true;
    const bool check_remote = drvdle != nullptr && drvdle->dle != nullptr && drvdle->dle->local_only && is_dir;
    // The entry's full path is wanted only by the exclude list and the
    // remote test.
    std::string joined;
    if (ws->exclude_list != nullptr || check_remote) joined = JoinPath(dir_path != nullptr ? dir_path : "", dta->achName);
    const char* path = joined.c_str();
    if (ws->exclude_list != nullptr && check_exclude_list(ws, path)) {
        DEBUG_PRINTF(DBG_CONFIG, "SkipObject: check_exclude_list() == TRUE\n");
        return true;
    }
    if (check_remote) {
        if (dta->stat_info.st_dev == gb_root_dev_id) {
            DEBUG_PRINTF(DBG_CONFIG, "SkipObject: dta->stat_info.st_dev=%d gb_root_dev_id=%d\n",
                         static_cast<int>(dta->stat_info.st_dev), static_cast<int>(gb_root_dev_id));
        } else if (FileIsNFS(dta->stat_info.st_dev, path)) {
            return true;
        }
    }
    DEBUG_PRINTF(DBG_CONFIG, "SkipObject: skip_remote_dirs=%d\n",
                 drvdle != nullptr && drvdle->dle != nullptr ? drvdle->dle->local_only : 0);
    DEBUG_PRINTF(DBG_CONFIG, "            dta->attrFile & FILE_DIRECTORY==0\n");
    return false;
}

bool is_glob_needed(const char* path) { return std::strchr(path, '*') != nullptr; }
