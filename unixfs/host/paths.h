// Joining and splitting the path texts the protocol speaks.
#pragma once

#include <cstddef>

// Longest directory path the search routines take (buffers are one more).
constexpr size_t UNIX_MAX_PSIZE = 256;

// Appends part to the path in buffer with exactly one '/' between them; a
// result of just "/" becomes empty. Returns the new length. buffer_size bounds
// the result (the text is cut, never overrun).
size_t ConcatPath(char* buffer, size_t buffer_size, const char* part);
// Position of the last '/' in path; the path's start (with a trace) when none.
const char* last_slash(const char* path);
