// Exclusions for requests that name an object. The exclude list keeps
// objects out of listings; a request that names an excluded object, or one
// below an excluded directory, is answered as for an object that does not
// exist, so that what an administrator excluded never leaves the host.
#pragma once

#include <string_view>

// True, with one trace line, when full_path (an export path joined with a
// request's path) is an exclude-list entry or lies below one. Paths compare
// component by component: repeated separators and "." components count for
// nothing.
bool IsExcludedPath(std::string_view full_path);
