// The NRL function table: five header words ("NRL TABLE" in three words,
// 0x10000, 0) and 39 entry points in a fixed order, 44 words in all; the
// entries are pointer-sized here. The agent reaches the layer's resources and
// sessions through it; what the table has no entry for is called directly:
// the sends of a reply with inserted or spliced bulk bytes
// (NRLSendMessageInsert, NRLSendMessageSpliced), the transport endpoints
// (tli.h) and the advertiser (advertise.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "nrl/nrl.h"
#include "nrl/nrl_session.h"

using NRLUnsupportedEntry = uint16_t (*)();

struct NRL_FUNC_TABLE {
    char tag[12];        // words 0-2: "NRL TABLE", zero padded
    uint32_t version;    // word 3: 0x10000
    uint32_t reserved;   // word 4: 0
    uint16_t (*NRLInitialize)(NRL_DEF*);                                      // 5
    uint16_t (*NRLAddRemoteResourceBuffer)(NRL_RESOURCE*, uint16_t);          // 6
    uint16_t (*NRLRemoveRemoteResourceBuffer)(NRL_RESOURCE*);                 // 7
    uint16_t (*NRLUnUsedResourceBuffers)();                                   // 8
    uint16_t (*RemoveNRL)();                                                  // 9
    uint16_t (*NRLAddResource)(NRL_RESOURCE*, const char*, uint16_t, NRLNotifyRoutine);  // 10
    uint16_t (*NRLRemoveResource)(NRL_RESOURCE*);                             // 11
    NRLUnsupportedEntry unsupported_12;                                       // 12
    NRL_RESOURCE* (*NRLScanResourceList)(uint32_t*);                          // 13
    uint16_t (*NRLRsrcLocal)(NRL_RESOURCE*);                                  // 14
    char* (*NRLRsrcName)(NRL_RESOURCE*);                                      // 15
    uint16_t (*NRLRsrcType)(NRL_RESOURCE*);                                   // 16
    void (*NRLSetSessionApplicationPtr)(NRL_SESSION*, void*);                 // 17
    void* (*NRLGetSessionApplicationPtr)(NRL_SESSION*);                       // 18
    void (*NRLSetResourceApplicationPtr)(NRL_RESOURCE*, void*);               // 19
    void* (*NRLGetResourceApplicationPtr)(NRL_RESOURCE*);                     // 20
    NRLUnsupportedEntry unsupported_21;                                       // 21
    uint16_t (*NRLDeAllocSession)(NRL_SESSION*, uint16_t);                    // 22
    uint16_t (*NRLSendMessage)(NRL_SESSION*, uint32_t, const void*, uint16_t, NRLSendComplete);  // 23
    uint16_t (*NRLReceiveMessage)(NRL_SESSION*, void*, uint16_t, uint32_t, NRLRecvComplete);     // 24
    uint32_t (*NRLResourceSize)();                                            // 25
    uint32_t (*NRLSessionSize)();                                             // 26
    uint16_t (*NRLAvailResourceBufferSlots)();                                // 27
    NRLUnsupportedEntry unsupported_28_40[13];                                // 28-40
    void (*NRLLockResource)(NRL_RESOURCE*);                                   // 41
    void (*NRLUnlockResource)(NRL_RESOURCE*);                                 // 42
    int32_t (*NRLIsRemoteRsrcAlsoLocal)(NRL_RESOURCE*);                       // 43
};

constexpr int kNrlTableWords = 44;
constexpr int kNrlTableHeaderWords = 5;
static_assert((sizeof(NRL_FUNC_TABLE) - offsetof(NRL_FUNC_TABLE, NRLInitialize)) / sizeof(void*) ==
                  kNrlTableWords - kNrlTableHeaderWords,
              "the table holds 39 entry points");

extern const NRL_FUNC_TABLE tli_nrl_function_table;
extern const NRL_FUNC_TABLE* gb_NRL_function_table_ptr;  // null until NRLGetFunctionTablePtr

const NRL_FUNC_TABLE* NRLGetFunctionTablePtr();
