// Describing one object of an exported tree: its stat record and generic
// attributes, and the rules that leave objects out of a listing.
#pragma once

#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>

#include "unixfs/host/confined_path.h"

struct DRVDLE;
struct WS_CNTL;

constexpr uint32_t FILE_READ_NONE = 0x0001;   // none of the read-permission bits
constexpr uint32_t FILE_DIRECTORY = 0x0010;
constexpr uint32_t FILE_IN_DBLK = 0x0020;     // set in every DBLK the agent fills
constexpr uint32_t FILE_NEVER_LISTED = 0xFFFF;
constexpr uint16_t OBJECT_DIR = 1;            // find_type: directories only
constexpr size_t kDtaNameSize = 256;          // a name of one directory entry

// The object record filled for each found object.
struct DTA {
    struct stat stat_info;   // lstat, or stat of a followed link to a directory
    uint32_t attrFile;       // generic attribute bits
    char achName[kDtaNameSize];
};

// Generic attribute bits of a stat record.
uint32_t Unix_stat_to_attr(const struct stat* stat_info);

// Describes name in directory by path texts, a link to a directory as that
// directory when ws says follow_symdirs. 0, -504 (no such object), -499.
int FillinDTA(const WS_CNTL* ws, const char* directory, const char* name, DTA* dta);

// Which links to directories a describe reports as the directory they lead
// to: none (kNoLinks), all (kFollowLinks), or those whose resolution stays
// below the export root (kFollowLinksBeneath, which needs the root and the
// directory of the name relative to it).
struct LINK_FOLLOW {
    LinkPolicy policy = LinkPolicy::kNoLinks;
    int root_fd = -1;
    const char* dir_rel = "";
};

// True, with the directory's status in target, when name in the directory
// open as dir_fd is a link that follow lets count as the directory it leads to.
bool LinkedDirectory(int dir_fd, const char* name, const LINK_FOLLOW& follow, struct stat* target);

// Describes name in the directory open as dir_fd without following a link in
// name's last component unless follow allows it (then a link to a directory
// is described as that directory). An empty name describes the directory
// itself. directory names dir_fd in traces. 0, -504 (no such object), -499
// (other failures; also a name longer than an entry name can be).
int FillinDTAAt(int dir_fd, const char* directory, const char* name, const LINK_FOLLOW& follow, DTA* dta);

// True when path is exactly the name of an entry of ws's exclude list.
bool check_exclude_list(const WS_CNTL* ws, const char* path);

// True when the directory at path (on device `device`) lies on a remote file
// system: never when it is on the device of "/", otherwise as the session's
// mount lists say.
bool FileIsNFS(dev_t device, const char* path);

// True when the object is to be left out of a listing of the directory whose
// full path text is dir_path (nullptr: none).
bool SkipObject(const WS_CNTL* ws, const DTA* dta, const char* dir_path, int find_type, const DRVDLE* drvdle);

// True when path holds '*', the only wildcard.
bool is_glob_needed(const char* path);
