// Joining and splitting the path texts the protocol speaks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Appends part to the path in buffer with exactly one '/' between them; a
// result of just "/" becomes empty. Returns the new length. buffer_size bounds
// the result (the text is cut, never overrun).
size_t ConcatPath(char* buffer, size_t buffer_size, const char* part);
// ConcatPath's rules on strings, with no bound: the host's paths have no
// fixed length (each text ends at its first zero byte).
std::string JoinPath(std::string_view base, std::string_view part);
// Position of the last '/' in path; the path's start (with a trace) when none.
const char* last_slash(const char* path);
