#include "unixfs/session/handle_table.h"

#include <cstring>

namespace {

constexpr uint32_t kIndexBits = 16;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;

// Slot i is handed out as index i + 1, so the handle 0 never names a record.
const HANDLE_SLOT* slot_of(const HANDLE_TABLE* table, uint32_t handle) {
    uint32_t index = handle & kIndexMask;
    if (index == 0 || index > kMaxSessionHandles) return nullptr;
    const HANDLE_SLOT& slot = table->slots[index - 1];
    if (slot.record == nullptr || slot.generation != (handle >> kIndexBits)) return nullptr;
    return &slot;
}

}  // namespace

uint32_t IssueHandle(HANDLE_TABLE* table, void* record, HandleKind kind) {
    if (record == nullptr || kind == HANDLE_KIND_NONE) return 0;
    for (size_t i = 0; i < kMaxSessionHandles; ++i) {
        HANDLE_SLOT& slot = table->slots[i];
        if (slot.record != nullptr) continue;
        if (slot.generation == 0) slot.generation = 1;  // generation 0 is never issued
        slot.record = record;
        slot.kind = kind;
        table->in_use++;
        return (static_cast<uint32_t>(slot.generation) << kIndexBits) | static_cast<uint32_t>(i + 1);
    }
    return 0;
}

void* LookupHandle(const HANDLE_TABLE* table, uint32_t handle, HandleKind kind) {
    const HANDLE_SLOT* slot = slot_of(table, handle);
    if (slot == nullptr || slot->kind != kind) return nullptr;
    return slot->record;
}

HandleKind HandleKindOf(const HANDLE_TABLE* table, uint32_t handle) {
    const HANDLE_SLOT* slot = slot_of(table, handle);
    return slot == nullptr ? HANDLE_KIND_NONE : static_cast<HandleKind>(slot->kind);
}

void ReleaseHandle(HANDLE_TABLE* table, uint32_t handle) {
    auto* slot = const_cast<HANDLE_SLOT*>(slot_of(table, handle));
    if (slot == nullptr) return;
    slot->record = nullptr;
    slot->kind = HANDLE_KIND_NONE;
    slot->generation = static_cast<uint16_t>(slot->generation + 1);
    if (slot->generation == 0) slot->generation = 1;
    table->in_use--;
}

void ResetHandleTable(HANDLE_TABLE* table) {
    for (auto& slot : table->slots) {
        if (slot.record == nullptr) continue;
        slot.record = nullptr;
        slot.kind = HANDLE_KIND_NONE;
        slot.generation = static_cast<uint16_t>(slot.generation + 1);
        if (slot.generation == 0) slot.generation = 1;
    }
    table->in_use = 0;
}
