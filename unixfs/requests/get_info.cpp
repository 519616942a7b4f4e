// GRFS_GET_INFO: the agent's clock for the server.
#include <cstring>
#include <ctime>

#include "grfs/dates.h"
#include "grfs/messages.h"
#include "unixfs/requests/get_info.h"
#include "unixfs/session/grfs_session.h"

int GetInfo(GRFS_SESSION* ses, GRFS_MESSAGE* req) {
    GRFS_MESSAGE* reply = StartReply(ses, req->hdr.request_id, GRFS_GET_INFO_STAT);
    GRFS_GET_INFO_STAT_BODY& info = reply->body.get_info_stat;
    std::memset(&info, 0, sizeof info);
    info.ver = 1;
    info.len = 40;
    time_t now = time(nullptr);
    struct tm broken {};
    localtime_r(&now, &broken);
    ConvertTmStructToStdDate(&info.local_time, &broken);
    gmtime_r(&now, &broken);
    ConvertTmStructToStdDate(&info.universal_time, &broken);
    return SendMessage(ses, reply, GRFS_GET_INFO_STAT_BODY_SIZE) != 0;
}
