#include "unixfs/grfs_session.h"

#include "grfs/messages.h"
#include "util/debug_print.h"

int SendMessage(GRFS_SESSION* ses, GRFS_MESSAGE* message, int body_size) {
    DEBUG_PRINTF(DBG_MESSAGE, "SendMessage %s (%d bytes) retcode %d\n", type_to_str(message->hdr.msg_type),
                 body_size + 8, message->hdr.retcode);
    ses->last_reply_size = body_size;
    if (ses->nrl_session == nullptr) return 0;
    // The NRL send path is wired in with the session process.
    return 1;
}
