// The list of remote resources and of empty buffers for them. The agent
// itself never adds any; the operations behave as the table promises.
#include <cstring>

#include "nrl/nrl.h"
#include "nrl/nrl_session.h"
#include "nrl/nrl_trace.h"
#include "util/signal_guard.h"

uint16_t NRLAddRemoteResourceBuffer(NRL_RESOURCE* buffer, uint16_t buffer_id) {
    std::memset(static_cast<void*>(buffer), 0, sizeof *buffer);
    buffer->kind = RSRC_FREE_BUFFER;
    buffer->buffer_id = buffer_id;
    InitQueue(&buffer->sessions);
    EnQueueElem(&uw_nrl_state.remote_resources, &buffer->link, 0);
    return 1;
}

void RemoveRemoteResource(NRL_RESOURCE* entry) {
    NRL_TRACE("RemoveRemoteResource for %s called\n", entry->rsrc_name);
    uint32_t held = DisableInterrupts();
    if (FindQueueElem(&uw_nrl_state.remote_resources, &entry->link) != nullptr) {
        while (entry->sessions.count != 0) {
            auto* session = QueueHead<NRL_SESSION>(entry->sessions);
            if (session == nullptr) break;
            if (session->dying != 0)
                RemoveQueueElem(&entry->sessions, &session->link);
            else
                KillSession(session);
        }
        entry->remote_state = RSRC_REMOVED;
    }
    RestoreInterruptState(held);
}

uint16_t NRLRemoveRemoteResourceBuffer(NRL_RESOURCE* buffer) {
    NRL_TRACE("RemoveRemote locking resource table\n");
    uint32_t held = DisableInterrupts();
    uint16_t result = NRL_SUCCESS;
    if (FindQueueElem(&uw_nrl_state.remote_resources, &buffer->link) != nullptr) {
        if (buffer->lock_cnt != 0) NRL_TRACE("\a\aRemoving RemoteResBuffer of locked resource\n");
        if (buffer->kind != RSRC_FREE_BUFFER && buffer->kind != RSRC_REMOVED) RemoveRemoteResource(buffer);
        RemoveElem(&uw_nrl_state.remote_resources, &buffer->link);
    } else {
        NRL_TRACE("Calling NRLRemoveRemoteResourceBuffer with BAD buffer.");
        result = INVALID_PARAM;
    }
    RestoreInterruptState(held);
    NRL_TRACE("unlocked resource table\n");
    return result;
}

uint16_t NRLUnUsedResourceBuffers() {
    uint32_t held = DisableInterrupts();
    uint16_t n = 0;
    for (auto* r = QueueHead<NRL_RESOURCE>(uw_nrl_state.remote_resources); r != nullptr; r = QueueNext(r))
        if (r->kind == RSRC_FREE_BUFFER) ++n;
    RestoreInterruptState(held);
    return n;
}

uint16_t NRLAvailResourceBufferSlots() {
    return static_cast<uint16_t>(uw_nrl_def.max_remote_buffers -
                                 static_cast<uint16_t>(uw_nrl_state.remote_resources.count));
}

NRL_RESOURCE* NRLScanResourceList(uint32_t* index) {
    uint32_t held = DisableInterrupts();
    NRL_RESOURCE* found = nullptr;
    uint32_t position = 0;
    for (auto* r = QueueHead<NRL_RESOURCE>(uw_nrl_state.remote_resources); r != nullptr; r = QueueNext(r)) {
        if (r->kind != RSRC_REMOTE) continue;
        if (position == *index) {
            found = r;
            break;
        }
        ++position;
    }
    RestoreInterruptState(held);
    ++*index;
    return found;
}
