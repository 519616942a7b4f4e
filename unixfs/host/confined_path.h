// Resolving request paths below an export root without leaving it.
//
// Requests name objects by texts relative to the export root. The file-system
// calls that act on them go through a descriptor of the directory that holds
// the last component, reached from a descriptor of the export root without
// passing "..", absolute names or (unless allowed) symbolic links, and then
// use the *at calls on the last component.
#pragma once

#include <string>
#include <string_view>

#include "util/unique_fd.h"

// How intermediate components may be resolved.
enum class LinkPolicy {
    kNoLinks,             // a symbolic link anywhere below the root is refused
    kFollowLinks,         // links are followed (follow_symdirs on a read path)
    kFollowLinksBeneath,  // links are followed where what they lead to stays below the root
};

// True when a path text has a ".." component (separators '/').
bool HasDotDotComponent(std::string_view path);

// Opens the export root itself (it may contain links). -1 and errno on failure.
UniqueFd OpenExportRoot(const char* export_path);

// Opens the directory rel (relative to root_fd; empty means the root) as an
// O_PATH directory descriptor. On failure returns an invalid descriptor and
// sets errno: ELOOP when a symbolic link was refused, EXDEV for ".." or for
// a link that leads out from below the root (kFollowLinksBeneath; absolute
// links count as leading out, and where the kernel cannot confine the
// resolution no link is followed), ENOENT/ENOTDIR/EACCES as the file system
// says.
UniqueFd OpenDirBeneath(int root_fd, std::string_view rel, LinkPolicy policy);

// Opens the file rel (relative to root_fd) with flags in one call, refusing
// symbolic links at every level and ".." as OpenDirBeneath does. An invalid
// descriptor and errno on failure; ENOSYS where the kernel cannot do it in
// one call (the caller then walks to the parent).
UniqueFd OpenFileBeneath(int root_fd, std::string_view rel, int flags);

// Opens the object a checked O_PATH descriptor stands for once more, with
// flags (no O_CREAT), as the same inode: nothing that took its name since
// can be reached this way. An invalid descriptor and errno on failure.
UniqueFd ReopenChecked(int path_fd, int flags);

// Closes the descriptor of this process's /proc/self/fd that reopens keep
// between requests; a session's end lets it go with its other descriptors.
void ReleaseReopenTable();

// The /proc entry of a descriptor: it leads to the inode the descriptor
// holds, whatever its name has become (an O_PATH descriptor included).
class FdPath {
public:
    explicit FdPath(int fd);
    const char* c_str() const { return text_; }

private:
    char text_[32];
};

// Splits rel into its parent directory and last component and opens the
// parent as OpenDirBeneath does. name receives the last component (empty when
// rel names the root itself, in which case the root descriptor is duplicated).
UniqueFd OpenParentBeneath(int root_fd, std::string_view rel, LinkPolicy policy, std::string& name);
