// Exclusions for requests that name an object. The exclude list keeps
// objects out of listings; a request that names an excluded object, or one
// below an excluded directory, is answered as for an object that does not
// exist, so that what an administrator excluded never leaves the host. The
// list is the one of the workstation record ws.
#pragma once

#include <string>
#include <string_view>

#include "unixfs/host/confined_path.h"

struct WS_CNTL;

// True, with one trace line, when full_path (an export path joined with a
// request's path) is an exclude-list entry or lies below one. Paths compare
// component by component: repeated separators and "." components count for
// nothing.
bool IsExcludedPath(const WS_CNTL* ws, std::string_view full_path);

// name as IsExcludedPath compares it: empty and "." components dropped, one
// "/" between the rest, a leading "/" kept.
std::string ExcludeEntryForm(std::string_view name);

// The same for name in the directory open as dir_fd, by where that directory
// really is: a request that came there through symbolic links (which
// follow_symdirs lets it pass) names it by another path than the exclude
// list does. An empty name stands for the directory itself.
bool IsExcludedAt(const WS_CNTL* ws, int dir_fd, std::string_view name);

// True when rel (below the export root root_fd) resolves, under policy, to a
// directory that is excluded where it really is: a link that is presented as
// the directory it leads to stands for that directory.
bool IsExcludedDirectoryBeneath(const WS_CNTL* ws, int root_fd, std::string_view rel, LinkPolicy policy);
