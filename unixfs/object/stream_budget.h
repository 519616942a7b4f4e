// The memory a session holds for streams it collects before applying them
// (LXAT, ACL, EA, and any stream added later): one budget per session, so
// that a peer keeping many objects open with large streams half written
// cannot grow the session without bound. Each open object counts what it
// holds; its release gives that back.
#pragma once

#include <cstdint>

struct FILE_MEMORY;

constexpr uint64_t kStreamBudgetBytes = uint64_t{64} << 20;

// Counts bytes more held for a stream of rec, to rec and to its session.
// false, and nothing counted, when that would pass the session's budget:
// the write is then answered with -1 (out of memory) and nothing of the
// stream is applied.
bool TakeStreamBytes(FILE_MEMORY* rec, uint64_t bytes);
// Gives back bytes that rec no longer holds.
void GiveBackStreamBytes(FILE_MEMORY* rec, uint64_t bytes);
// Gives back everything rec holds; at the end of its open.
void GiveBackAllStreamBytes(FILE_MEMORY* rec);
