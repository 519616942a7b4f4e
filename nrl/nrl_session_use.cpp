// Finding sessions, counting their uses, and killing them.
#include <unistd.h>

#include "nrl/nrl.h"
#include "nrl/nrl_session.h"
#include "nrl/nrl_trace.h"
#include "nrl/tli.h"
#include "util/alloc.h"
#include "util/signal_guard.h"

namespace {

NRL_SESSION* find_in(const Queue& resources, NRL_SESSION* session, int id, NRL_RESOURCE** owner) {
    for (auto* r = QueueHead<NRL_RESOURCE>(resources); r != nullptr; r = QueueNext(r)) {
        for (auto* s = QueueHead<NRL_SESSION>(r->sessions); s != nullptr; s = QueueNext(s)) {
            if (session != nullptr ? s == session : s->tlifd == id) {
                if (owner != nullptr) *owner = r;
                return s;
            }
        }
    }
    return nullptr;
}

// The linked session matching by address (session given) or by
// descriptor, for a caller that holds the guard; only linked records are
// ever read.
NRL_SESSION* find_linked(NRL_SESSION* session, int id, NRL_RESOURCE** owner) {
    NRL_SESSION* found = find_in(uw_nrl_state.local_resources, session, id, owner);
    if (found == nullptr) found = find_in(uw_nrl_state.remote_resources, session, id, owner);
    return found;
}

NRL_SESSION* find_session(NRL_SESSION* session, int id, NRL_RESOURCE** owner) {
    uint32_t held = DisableInterrupts();
    NRL_SESSION* found = find_linked(session, id, owner);
    RestoreInterruptState(held);
    return found;
}

}  // namespace

NRL_SESSION* ValidateSession(NRL_SESSION* session) {
    if (session == nullptr) return nullptr;
    return find_session(session, -1, nullptr);
}

NRL_SESSION* Id2Session(int id) {
    return find_session(nullptr, id, nullptr);
}

int UseSession(NRL_SESSION* session, const char* tag) {
    NRL_TRACE("{Use.");
    NRL_TRACE("..%s", tag);
    uint32_t held = DisableInterrupts();
    // Validated under the hold just taken: every receive and every send
    // comes here, and a second hold around the walk would only be counted.
    NRL_SESSION* found = session != nullptr ? find_linked(session, -1, nullptr) : nullptr;
    int result = 0;
    if (found != nullptr && found->dying == 0) {
        NRL_TRACE("}");
        ++found->use_cnt;
        result = 1;
    } else {
        NRL_TRACE(" FAILED}\n");
        if (found != nullptr) {
            NRL_TRACE("session %p dying\n", static_cast<void*>(session));
            NRL_TRACE("session->dying=%d\n", found->dying);
            NRL_TRACE("session->use_cnt=%d\n", found->use_cnt);
        } else {
            NRL_TRACE("session %p invalid\n", static_cast<void*>(session));
        }
    }
    RestoreInterruptState(held);
    return result;
}

void ReleaseSession(NRL_SESSION* session, const char* tag) {
    uint32_t held = DisableInterrupts();
    NRL_TRACE("{Release %s}", tag);
    --session->use_cnt;
    if (session->use_cnt < 0) NRL_TRACE("\a\aSession released too many times\n");
    RestoreInterruptState(held);
}

void KillSession(NRL_SESSION* session) {
    NRL_TRACE("KillSession=%p\n", static_cast<void*>(session));
    uint32_t held = DisableInterrupts();
    NRL_RESOURCE* owner = nullptr;
    NRL_SESSION* claimed = session != nullptr ? find_session(session, -1, &owner) : nullptr;
    if (claimed != nullptr && claimed->dying == 0)
        claimed->dying = 1;
    else
        claimed = nullptr;  // unknown, or someone else finishes the kill
    RestoreInterruptState(held);
    NRL_TRACE("Validated session=%p\n", static_cast<void*>(claimed));
    if (claimed == nullptr) return;

    if (claimed->use_cnt != 0) {
        NRL_TRACE("session still in use %d\n", claimed->use_cnt);
        sleep(1);
    }
    if (RemoveQueueElem(&owner->sessions, &claimed->link) != 0) NRL_TRACE("RemoveQueueElem() failed.\n");
    t_unbind_v(claimed->tlifd);
    // After a failed send, or the idle limit, the peer takes nothing more;
    // the lingering close of an accepted connection would wait for it.
    const bool at_once = claimed->snd_failed != 0 || claimed->rcv_idle_expired != 0;
    int rc = at_once ? CloseEndpointAtOnce(claimed->tlifd) : t_close_v(claimed->tlifd);
    check_tli("t_close_v", claimed->tlifd, rc);
    NRL_TRACE("freeing ses %p\n", static_cast<void*>(claimed));
    if (claimed->sndbuf != nullptr) MYFREE(claimed->sndbuf);
    claimed->sndbuf = nullptr;
    claimed->sndbuf_size = 0;
    if (claimed->rcv_carry != nullptr) MYFREE(claimed->rcv_carry);
    claimed->rcv_carry = nullptr;
    claimed->rcv_carry_pos = claimed->rcv_carry_len = claimed->rcv_carry_size = 0;
    if (claimed->dealloc_notify != nullptr) claimed->dealloc_notify(claimed, 0);
    MYFREE(claimed);
}

uint16_t NRLDeAllocSession(NRL_SESSION* session, uint16_t reason) {
    if (UseSession(session, "DeAlloc") == 0) return INVALID_SESSION;
    uint16_t result = NRLMessageSender(session, NRL_DEALLOC, nullptr, reason);
    ReleaseSession(session, "DeAlloc");
    KillSession(session);
    return result;
}

void NRLSetSessionApplicationPtr(NRL_SESSION* session, void* ptr) {
    if (UseSession(session, "SetApPtr") == 0) return;
    session->app_ptr = ptr;
    ReleaseSession(session, "SetApPtr");
}

void* NRLGetSessionApplicationPtr(NRL_SESSION* session) {
    return session->app_ptr;
}

void NRLDiscardSessionCopy(NRL_SESSION* session) {
    uint32_t held = DisableInterrupts();
    NRL_RESOURCE* owner = nullptr;
    NRL_SESSION* found = find_session(session, -1, &owner);
    if (found != nullptr && found->dying == 0) {
        found->dying = 1;
        RemoveQueueElem(&owner->sessions, &found->link);
    } else {
        found = nullptr;
    }
    RestoreInterruptState(held);
    if (found == nullptr) return;
    if (found->sndbuf != nullptr) MYFREE(found->sndbuf);
    if (found->rcv_carry != nullptr) MYFREE(found->rcv_carry);
    MYFREE(found);
}
