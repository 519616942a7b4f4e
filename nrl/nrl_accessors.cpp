// Accessors of resources and the record sizes the user allocates with.
#include "nrl/nrl.h"
#include "nrl/nrl_session.h"

uint16_t NRLRsrcLocal(NRL_RESOURCE* resource) {
    return resource->kind == RSRC_LOCAL ? 1 : 0;
}

char* NRLRsrcName(NRL_RESOURCE* resource) {
    return resource->rsrc_name;
}

uint16_t NRLRsrcType(NRL_RESOURCE* resource) {
    return resource->rsrc_type;
}

int32_t NRLIsRemoteRsrcAlsoLocal(NRL_RESOURCE* resource) {
    return resource->also_local;
}

void NRLLockResource(NRL_RESOURCE* resource) {
    ++resource->lock_cnt;
}

void NRLUnlockResource(NRL_RESOURCE* resource) {
    if (resource->lock_cnt != 0) --resource->lock_cnt;
}

void NRLSetResourceApplicationPtr(NRL_RESOURCE* resource, void* ptr) {
    resource->app_ptr = ptr;
}

void* NRLGetResourceApplicationPtr(NRL_RESOURCE* resource) {
    return resource->app_ptr;
}

uint32_t NRLResourceSize() {
    return sizeof(NRL_RESOURCE);
}

uint32_t NRLSessionSize() {
    return sizeof(NRL_SESSION);
}

uint16_t NRLUnsupportedFunc() {
    return UNSUPPORTED_FUNC;
}

NRL_RESOURCE* Id2Resource(int id) {
    for (auto* r = QueueHead<NRL_RESOURCE>(uw_nrl_state.local_resources); r != nullptr; r = QueueNext(r))
        if (r->tlifd == id) return r;
    return nullptr;
}
