// Objects still open when a session ends: a file being restored is named on
// the console as incomplete; objects open for reading go silently.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "grfs/dblk.h"
#include "unixfs/object/file_memory.h"
#include "unixfs/session/grfs_session.h"
#include "util/debug_print.h"

namespace {

FILE_MEMORY* Open(GRFS_SESSION* ses, uint16_t mode, uint16_t dblktype, const char* path) {
    FILE_MEMORY* rec = AllocFileMemory(MEM_KIND_ALLOCATED, mode);
    EXPECT_NE(rec, nullptr);
    rec->dblktype = dblktype;
    rec->data_hand = -1;
    std::snprintf(rec->full_path, rec->full_path_size, "%s", path);
    EnQueueElem(&ses->object_list, &rec->link, 0);
    return rec;
}

TEST(SessionEndReport, FilesOpenForWritingAreReportedIncompleteAndOthersAreNot) {
    GRFS_SESSION ses{};
    InitQueue(&ses.attach_list);
    InitQueue(&ses.object_list);
    const char* saved = prog_name;
    prog_name = "agent";
    Open(&ses, OPEN_MODE_WRITE, FDB_ID, "/export/half.bin");
    Open(&ses, OPEN_MODE_READ, FDB_ID, "/export/read.bin");
    Open(&ses, OPEN_MODE_VERIFY, FDB_ID, "/export/verified.bin");
    Open(&ses, OPEN_MODE_WRITE, DDB_ID, "/export/dir");

    testing::internal::CaptureStderr();
    ReleaseAllObjects(&ses);
    const std::string err = testing::internal::GetCapturedStderr();
    prog_name = saved;

    EXPECT_EQ(err,
              "agent: Restore of /export/half.bin incomplete: the session ended before the object was closed.\n");
    EXPECT_EQ(ses.object_list.head, nullptr);
}

}  // namespace
