#include "unixfs/host/file_read.h"

#include <cerrno>
#include <unistd.h>

#include "grfs/messages.h"
#include "util/debug_print.h"

namespace {

int16_t ReadErrnoToRetcode(int err) { return err == EIO ? GRFS_RC_IO_ERROR : GRFS_RC_ACCESS_DENIED; }

}  // namespace

int ReadFileUnix(int fd, uint64_t file_offset, unsigned char* dest, uint32_t* size) {
    const uint32_t asked = *size;
    DEBUG_PRINTF(DBG_DATA, "ReadFileUnix: calling read(0x%x, %d)\n", fd, static_cast<int>(asked));
    int ret = 0;
    ssize_t n = read(fd, dest, asked);
    if (n > 0) {
        *size = static_cast<uint32_t>(n);
    } else if (n == 0) {
        *size = 0;
        ret = GRFS_RC_END_OF_DATA;
    } else {
        DEBUG_PRINTF(DBG_DATA, "ReadFileUnix: read(1) failed, errno=%d\n", errno);
        ret = ReadErrnoToRetcode(errno);
        lseek(fd, static_cast<off_t>(file_offset), SEEK_SET);
        uint32_t done = 0;
        while (done < asked) {
            DEBUG_PRINTF(DBG_DATA, "ReadFileUnix: !done\n");
            const uint32_t piece = asked - done < kReadRetryPiece ? asked - done : kReadRetryPiece;
            ssize_t r = read(fd, dest + done, piece);
            if (r < 0) {
                DEBUG_PRINTF(DBG_DATA, "ReadFileUnix: read(2) failed, errno=%d\n", errno);
                ret = ReadErrnoToRetcode(errno);
                break;
            }
            if (r == 0) {
                ret = GRFS_RC_END_OF_DATA;
                break;
            }
            done += static_cast<uint32_t>(r);
        }
        *size = done;
    }
    DEBUG_PRINTF(DBG_DATA, "ReadFileUnix: ret_val=%d *size=%d\n", ret, static_cast<int>(*size));
    return ret;
}
