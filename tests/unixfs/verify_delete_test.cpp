// GRFS_VERIFY_OBJ_INFO and GRFS_DELETE_OBJ on a real tree.
#include <gtest/gtest.h>

#include "restore_fixture.h"
#include "unixfs/requests/delete_object.h"
#include "unixfs/tree/object_describe.h"
#include "unixfs/requests/verify_info.h"

namespace restore_test {
namespace {

class VerifyTest : public RestoreFixture {
protected:
    // The block a backup made of the object at rel (file name or directory
    // path), generic attributes as the agent fills them.
    GRFS_GEN_DBLK BlockOf(const std::string& rel, bool directory) {
        struct stat st = Lstat(In(rel));
        UnixInfo info = InfoOf(st);
        GRFS_GEN_DBLK dblk;
        const uint32_t attr = Unix_stat_to_attr(&st) | FILE_IN_DBLK;
        if (directory) {
            MakeDirDblk(&dblk, rel, &info, attr);
        } else {
            MakeFileDblk(&dblk, rel, &info, attr);
        }
        return dblk;
    }
    int16_t Verify(const GRFS_GEN_DBLK& dblk) { return Run(VerifyObjectInfo, GRFS_VERIFY_OBJ_INFO, dblk); }
};

TEST_F(VerifyTest, BlocksTheAgentMadeVerifyUnchanged) {
    WriteText(In("file"), "contents");
    ASSERT_EQ(mkdir(In("dir").c_str(), 0755), 0);
    ASSERT_EQ(symlink("file", In("lnk").c_str()), 0);
    const GRFS_GEN_DBLK file = BlockOf("file", false);
    EXPECT_NE(file.gen_attr & FILE_IN_DBLK, 0u);
    EXPECT_EQ(Verify(file), 0);
    EXPECT_EQ(sent_.last_body_size, 0);
    EXPECT_EQ(Verify(BlockOf("dir", true)), 0);
    EXPECT_EQ(Verify(BlockOf("lnk", false)), 0);
    // The bit makes no difference in either direction.
    GRFS_GEN_DBLK bare = file;
    bare.gen_attr &= ~FILE_IN_DBLK;
    EXPECT_EQ(Verify(bare), 0);
}

TEST_F(VerifyTest, SizeDifferenceIsAMismatch) {
    WriteText(In("file"), "contents");
    const GRFS_GEN_DBLK file = BlockOf("file", false);
    WriteText(In("file"), "longer contents");
    EXPECT_EQ(Verify(file), GRFS_RC_VERIFY_MISMATCH);
}

TEST_F(VerifyTest, AttributeDifferenceIsAMismatch) {
    WriteText(In("file"), "contents");
    ASSERT_EQ(chmod(In("file").c_str(), 0644), 0);
    const GRFS_GEN_DBLK file = BlockOf("file", false);
    ASSERT_EQ(chmod(In("file").c_str(), 0200), 0);  // no read permission left
    EXPECT_EQ(Verify(file), GRFS_RC_VERIFY_MISMATCH);
    // Other attribute bits still count.
    ASSERT_EQ(chmod(In("file").c_str(), 0644), 0);
    GRFS_GEN_DBLK marked = file;
    marked.gen_attr |= 0x02;
    EXPECT_EQ(Verify(marked), GRFS_RC_VERIFY_MISMATCH);

    // A directory that became a file of the same name.
    ASSERT_EQ(mkdir(In("d").c_str(), 0755), 0);
    const GRFS_GEN_DBLK dir = BlockOf("d", true);
    ASSERT_EQ(rmdir(In("d").c_str()), 0);
    WriteText(In("d"), "");
    EXPECT_EQ(Verify(dir), GRFS_RC_VERIFY_MISMATCH);
}

TEST_F(VerifyTest, MissingObjectAndBadRequests) {
    WriteText(In("file"), "contents");
    const GRFS_GEN_DBLK file = BlockOf("file", false);
    ASSERT_EQ(unlink(In("file").c_str()), 0);
    EXPECT_EQ(Verify(file), GRFS_RC_BAD_OBJ_HANDLE);
    EXPECT_EQ(Run(VerifyObjectInfo, GRFS_VERIFY_OBJ_INFO, file, drvdle_.handle + 0x10000), GRFS_RC_BAD_DLE_HANDLE);
    GRFS_GEN_DBLK other = file;
    other.dblk_type = UDB_ID;
    EXPECT_EQ(Verify(other), GRFS_RC_WRONG_DBLK_TYPE);
}

TEST_F(VerifyTest, NothingOutsideTheExportIsExamined) {
    WriteText(Out("secret"), "contents");
    ASSERT_EQ(symlink(outside_.c_str(), In("out").c_str()), 0);
    struct stat st = Lstat(Out("secret"));
    UnixInfo info = InfoOf(st);
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "../outside/secret", &info, Unix_stat_to_attr(&st) | FILE_IN_DBLK);
    EXPECT_EQ(Verify(dblk), GRFS_RC_ACCESS_DENIED);
    MakeFileDblk(&dblk, "out/secret", &info, Unix_stat_to_attr(&st) | FILE_IN_DBLK);
    EXPECT_EQ(Verify(dblk), GRFS_RC_ACCESS_DENIED);
}

class DeleteTest : public RestoreFixture {
protected:
    int16_t DeleteFile(const std::string& name) {
        GRFS_GEN_DBLK dblk;
        MakeFileDblk(&dblk, name, nullptr);
        return Run(DeleteObject, GRFS_DELETE_OBJ, dblk);
    }
    int16_t DeleteDir(const std::string& path) {
        GRFS_GEN_DBLK dblk;
        MakeDirDblk(&dblk, path, nullptr);
        return Run(DeleteObject, GRFS_DELETE_OBJ, dblk);
    }
};

TEST_F(DeleteTest, FilesAndEmptyDirectoriesGo) {
    WriteText(In("file"), "x");
    ASSERT_EQ(mkdir(In("empty").c_str(), 0755), 0);
    EXPECT_EQ(DeleteFile("file"), 0);
    EXPECT_EQ(sent_.last_body_size, 0);
    EXPECT_FALSE(Exists(In("file")));
    EXPECT_EQ(DeleteDir("empty"), 0);
    EXPECT_FALSE(Exists(In("empty")));
}

TEST_F(DeleteTest, NonEmptyDirectoryIsDeniedAndMissingObjectsAreNoSuchFile) {
    ASSERT_EQ(mkdir(In("full").c_str(), 0755), 0);
    WriteText(In("full/inner"), "x");
    EXPECT_EQ(DeleteDir("full"), GRFS_RC_ACCESS_DENIED);
    EXPECT_TRUE(Exists(In("full/inner")));
    EXPECT_EQ(DeleteFile("missing"), GRFS_RC_NO_SUCH_FILE);
    EXPECT_EQ(DeleteDir("missing"), GRFS_RC_NO_SUCH_FILE);
    // A directory named in a file block is not unlinked.
    EXPECT_EQ(DeleteFile("full"), GRFS_RC_ACCESS_DENIED);
    EXPECT_TRUE(Exists(In("full")));
}

TEST_F(DeleteTest, FileInCurrentDirectory) {
    ASSERT_EQ(mkdir(In("sub").c_str(), 0755), 0);
    WriteText(In("sub/file"), "x");
    WriteText(In("file"), "x");
    std::snprintf(current_path_, sizeof current_path_, "sub");
    EXPECT_EQ(DeleteFile("file"), 0);
    EXPECT_FALSE(Exists(In("sub/file")));
    EXPECT_TRUE(Exists(In("file")));
}

TEST_F(DeleteTest, ExportRootStays) {
    EXPECT_EQ(DeleteDir(""), GRFS_RC_ACCESS_DENIED);
    EXPECT_TRUE(Exists(export_));
}

TEST_F(DeleteTest, BadHandleAndWrongType) {
    WriteText(In("file"), "x");
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "file", nullptr);
    EXPECT_EQ(Run(DeleteObject, GRFS_DELETE_OBJ, dblk, drvdle_.handle + 0x10000), GRFS_RC_BAD_DLE_HANDLE);
    dblk.dblk_type = CFDB_ID;
    EXPECT_EQ(Run(DeleteObject, GRFS_DELETE_OBJ, dblk), GRFS_RC_WRONG_DBLK_TYPE);
    EXPECT_TRUE(Exists(In("file")));
}

}  // namespace
}  // namespace restore_test
