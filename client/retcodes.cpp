#include "client/retcodes.h"

#include "grfs/messages.h"

namespace grfs_client {

const char* retcode_meaning(int16_t retcode) {
    switch (retcode) {
    case GRFS_RC_SUCCESS: return "success";
    case GRFS_RC_NO_MEMORY: return "out of memory";
    case 1: return "cannot open this kind of object";
    case GRFS_RC_BAD_DLE_HANDLE: return "bad attachment handle";
    case GRFS_RC_BAD_DESCRIPTOR: return "bad descriptor on close";
    case GRFS_RC_VERIFY_MISMATCH: return "verify mismatch";
    case GRFS_RC_INVALID_REQUEST: return "invalid request, lock failure or busy file";
    case GRFS_RC_OPEN_WARNING: return "opened with a warning";
    case GRFS_RC_IO_ERROR: return "input/output error";
    case GRFS_RC_END_OF_DATA: return "end of data";
    case GRFS_RC_BAD_OBJ_HANDLE: return "no such open object";
    case GRFS_RC_CHANGE_DIR_FAILED: return "cannot change directory";
    case GRFS_RC_NO_SUCH_FILE: return "no such file";
    case GRFS_RC_NOT_FOUND: return "not found";
    case GRFS_RC_NO_SPACE: return "no space left";
    case GRFS_RC_ACCESS_DENIED: return "access denied";
    case GRFS_RC_WRONG_DBLK_TYPE: return "wrong DBLK type";
    default: return "unknown result";
    }
}

std::string retcode_text(int16_t retcode) {
    return std::to_string(retcode) + " (" + retcode_meaning(retcode) + ")";
}

Error retcode_error(int request_type, int16_t retcode, const std::string& what) {
    std::string text = what.empty() ? std::string() : what + ": ";
    text += type_to_str(request_type);
    text += " answered ";
    text += retcode_text(retcode);
    return make_error(ErrorKind::retcode, text, retcode);
}

}  // namespace grfs_client
