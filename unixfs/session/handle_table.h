// Handles on the wire: the 32-bit values the agent issues for attachments,
// searches and open objects, and the server echoes. A handle is a slot index
// in its low 16 bits and the slot's generation in its high 16 bits, so a
// released, stale or forged handle maps to nothing instead of to freed memory.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kMaxSessionHandles = 4096;

// What a slot holds; a lookup must name the kind it expects.
enum HandleKind : uint32_t {
    HANDLE_KIND_NONE = 0,
    HANDLE_KIND_WSDLE = 0x12345678,
    HANDLE_KIND_DRVDLE = 0x43211234,
    HANDLE_KIND_SEARCH = 0x5EA4C400,
    HANDLE_KIND_OBJECT = 0x0B1EC700,
};

struct HANDLE_SLOT {
    void* record;
    uint32_t kind;
    uint16_t generation;
};

struct HANDLE_TABLE {
    HANDLE_SLOT slots[kMaxSessionHandles];
    uint32_t in_use;  // slots holding a record
};

// Issues a handle for record; 0 (never a valid handle) when the table is full.
uint32_t IssueHandle(HANDLE_TABLE* table, void* record, HandleKind kind);
// The record the handle names if it is live and of the given kind, else nullptr.
void* LookupHandle(const HANDLE_TABLE* table, uint32_t handle, HandleKind kind);
// Frees the slot; every handle issued for it stops resolving.
void ReleaseHandle(HANDLE_TABLE* table, uint32_t handle);
// The kind of the record a handle names, HANDLE_KIND_NONE when it names nothing.
HandleKind HandleKindOf(const HANDLE_TABLE* table, uint32_t handle);
// Releases every slot (session end).
void ResetHandleTable(HANDLE_TABLE* table);
