// Allocation and release of the transport records.
#include "nrl/nrl_trace.h"
#include "nrl/tli.h"
#include "util/alloc.h"

namespace {

// Gives the address netbuf its own zeroed socket-address buffer.
bool alloc_addr(netbuf* nb) {
    nb->buf = static_cast<unsigned char*>(MYCALLOC(1, kTliAddrSize));
    if (nb->buf == nullptr) return false;
    nb->maxlen = kTliAddrSize;
    return true;
}

}  // namespace

void* t_alloc_v(int, int struct_type, int fields) {
    void* result = nullptr;
    if (struct_type == T_BIND) {
        auto* rec = static_cast<t_bind*>(MYCALLOC(1, sizeof(t_bind)));
        if (rec != nullptr && (fields & T_ADDR) != 0 && !alloc_addr(&rec->addr)) {
            MYFREE(rec);
            rec = nullptr;
        }
        result = rec;
    } else if (struct_type == T_CALL) {
        auto* rec = static_cast<t_call*>(MYCALLOC(1, sizeof(t_call)));
        if (rec != nullptr) {
            if ((fields & T_ADDR) != 0 && !alloc_addr(&rec->addr)) {
                MYFREE(rec);
                rec = nullptr;
            } else {
                if ((fields & T_OPT) != 0) NRL_TRACE("t_alloc_v( T_CALL, T_OPT ) not supported\n");
                if ((fields & T_UDATA) != 0) NRL_TRACE("t_alloc_v( T_CALL, T_UDATA ) not supported\n");
            }
        }
        result = rec;
    } else {
        NRL_TRACE("t_alloc_v called with unsupported type %d\n", struct_type);
    }
    NRL_TRACE("t_alloc_v returning %p\n", result);
    return result;
}

int t_free_v(void* record, int struct_type) {
    if (record == nullptr) return 0;
    if (struct_type == T_BIND) {
        auto* rec = static_cast<t_bind*>(record);
        if (rec->addr.buf != nullptr) MYFREE(rec->addr.buf);
    } else if (struct_type == T_CALL) {
        auto* rec = static_cast<t_call*>(record);
        if (rec->addr.buf != nullptr) MYFREE(rec->addr.buf);
    } else {
        NRL_TRACE("t_free_v called with unsupported type %d\n", struct_type);
    }
    MYFREE(record);
    return 0;
}
