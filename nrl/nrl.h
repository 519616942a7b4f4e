// The network resource layer: named listening resources announced to backup
// servers, the sessions servers open to them, and the function table through
// which the agent calls the layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

#include "util/queue.h"

struct t_bind;
struct t_call;
struct NRL_RESOURCE;
struct NRL_SESSION;

// NRL results: unsigned 16-bit, 0 = success.
enum NrlResult : uint16_t {
    NRL_SUCCESS = 0,
    COMM_FAILURE = 1,              // a transfer did not complete
    MSG_TRUNCATED = 3,             // received message longer than the buffer
    DEAD_SESSION = 6,              // session dying, or deallocated by the peer
    INVALID_PARAM = 0xFBED,        // 64493
    FORK_FAILED = 0xFBEE,          // 64494
    TRANSPORT_FAILURE = 0xFBF0,    // 64496
    RESOURCE_EXHAUSTED = 0xFBF3,   // 64499
    INVALID_SESSION = 0xFBF8,      // 64504
    UNSUPPORTED_FUNC = 0xFFFF,
};

enum NrlResourceKind : uint8_t {
    RSRC_LOCAL = 0,
    RSRC_REMOTE = 1,
    RSRC_FREE_BUFFER = 3,
    RSRC_REMOVED = 4,
};

constexpr size_t kRsrcNameMax = 41;          // characters kept of a resource name
constexpr size_t kAllocDataSize = 512;       // session-open allocation and reply data
constexpr size_t kMaxAdvReceivers = 20;

// Called as (session, 0) just before the layer frees an accepted session.
using NRLDeallocNotify = void (*)(NRL_SESSION* session, uint16_t reason);
// A local resource's session notification routine: 0 accepts, nonzero
// refuses. On acceptance it points *reply_data at kAllocDataSize bytes and
// sets *dealloc_notify.
using NRLNotifyRoutine = int (*)(NRL_RESOURCE* resource, NRL_SESSION* session,
                                 unsigned char* alloc_data, unsigned char** reply_data,
                                 NRLDeallocNotify* dealloc_notify);
using NRLErrorHandler = void (*)();

// The definition record the user fills and hands to NRLInitialize.
// receivers: a queue whose elements are NRL_RECEIVER-shaped (link, host name).
struct NRL_DEF {
    int32_t cli_sig;              // guard signal (SIGUSR1)
    const char* transport;        // "tcp"; not read
    const char* service;          // advertisement service name, "grfs"
    Queue receivers;              // copy of the header of the "tell" host list
    uint32_t reserved;            // 0; not read
    uint16_t max_remote_buffers;
    FILE* error_stream;           // where nrl_error writes; null = silent
    int32_t adv_interval;         // seconds for one pass over the receivers
    const char* app_name;         // not read
    uint32_t force_address;       // network byte order; 0 = all interfaces
};

// One element of NRL_DEF::receivers (the layout of the configuration's tell entries).
struct NRL_RECEIVER {
    QElem link;
    char* name;
};

struct NRL_State {
    Queue local_resources;        // NRL_RESOURCE, kind RSRC_LOCAL, in order of addition
    Queue remote_resources;       // remote resources and remote buffers
    NRLErrorHandler error_handler;  // stored, never called
    pid_t owner_pid;              // process that ran NRLInitialize
    int nrl_pipe[2];              // read end non-blocking
    const char* tli_device;       // "/dev/tcp"
};

struct NRL_RESOURCE {
    QElem link;                   // in local_resources or remote_resources
    uint8_t kind;                 // NrlResourceKind
    uint16_t lock_cnt;
    char rsrc_name[kRsrcNameMax + 1];
    uint16_t rsrc_type;
    uint16_t addr_len;            // length of the bound address (16)
    unsigned char* addr;          // bound socket address: the address buffer of bind
    union {
        NRLNotifyRoutine notify;  // local resource
        uint16_t buffer_id;       // remote resource buffer
    };
    uint16_t remote_state;        // RSRC_REMOVED once a remote resource is removed
    int16_t also_local;
    int tlifd;                    // listening endpoint; also the resource's identifier
    t_call* call;                 // receives the peer address of each accept
    t_bind* bind;                 // what the endpoint was bound with
    pid_t aux_pid;                // never started here; stays 0
    pid_t adv_pid;                // advertisement process; -1 once stopped
    int adv_rate_pipe[2];         // interval pipe: [0] advertiser's read end, [1] our write end
    Queue sessions;               // NRL_SESSION records
    void* app_ptr;                // the user's pointer
};

// Process-wide state of the layer (each process has its own copy).
extern NRL_DEF uw_nrl_def;
extern NRL_State uw_nrl_state;

// Layer set-up and removal.
uint16_t NRLInitialize(NRL_DEF* def);
uint16_t RemoveNRL();
uint16_t NRLRemove();

// Local resources.
uint16_t NRLAddResource(NRL_RESOURCE* resource, const char* name, uint16_t type,
                        NRLNotifyRoutine notify);
uint16_t NRLRemoveResource(NRL_RESOURCE* resource);

// Remote resources and their buffers (the agent adds none).
uint16_t NRLAddRemoteResourceBuffer(NRL_RESOURCE* buffer, uint16_t buffer_id);
uint16_t NRLRemoveRemoteResourceBuffer(NRL_RESOURCE* buffer);
uint16_t NRLUnUsedResourceBuffers();
uint16_t NRLAvailResourceBufferSlots();
NRL_RESOURCE* NRLScanResourceList(uint32_t* index);
void RemoveRemoteResource(NRL_RESOURCE* entry);

// Accessors.
uint16_t NRLRsrcLocal(NRL_RESOURCE* resource);
char* NRLRsrcName(NRL_RESOURCE* resource);
uint16_t NRLRsrcType(NRL_RESOURCE* resource);
int32_t NRLIsRemoteRsrcAlsoLocal(NRL_RESOURCE* resource);
void NRLLockResource(NRL_RESOURCE* resource);
void NRLUnlockResource(NRL_RESOURCE* resource);
void NRLSetResourceApplicationPtr(NRL_RESOURCE* resource, void* ptr);
void* NRLGetResourceApplicationPtr(NRL_RESOURCE* resource);
uint32_t NRLResourceSize();
uint32_t NRLSessionSize();
uint16_t NRLUnsupportedFunc();
void NRLSetErrorHandler(NRLErrorHandler handler);
NRL_RESOURCE* Id2Resource(int id);

// Small services.
void nrl_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Panic();
void CloseFile(int* fd);
