// GRFS_SET_OBJ_INFO on a real tree.
#include <gtest/gtest.h>

#include "restore_fixture.h"
#include "unixfs/requests/object_create.h"
#include "unixfs/requests/set_info.h"

namespace restore_test {
namespace {

constexpr time_t kOldAtime = 1000000000;  // 2001
constexpr time_t kOldMtime = 900000000;   // 1998

class SetInfoTest : public RestoreFixture {
protected:
    int16_t SetFile(const std::string& name, const UnixInfo* info, time_t atime = kOldAtime,
                    time_t mtime = kOldMtime) {
        GRFS_GEN_DBLK dblk;
        MakeFileDblk(&dblk, name, info);
        SetDates(&dblk, atime, mtime);
        return Run(SetObjectInfo, GRFS_SET_OBJ_INFO, dblk);
    }
    int16_t SetDir(const std::string& path, const UnixInfo* info) {
        GRFS_GEN_DBLK dblk;
        MakeDirDblk(&dblk, path, info);
        SetDates(&dblk, kOldAtime, kOldMtime);
        return Run(SetObjectInfo, GRFS_SET_OBJ_INFO, dblk);
    }
    UnixInfo FileInfo(uint32_t mode, uint32_t uid, uint32_t gid, uint64_t size) {
        UnixInfo info;
        info.mode = mode;
        info.uid = uid;
        info.gid = gid;
        info.size = size;
        return info;
    }
};

TEST_F(SetInfoTest, ModeTimesAndOwnerOfAFile) {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    UnixInfo info = FileInfo(0104750, 1234, 5678, 5);
    // Made by the session: set-id bits go only to what it made.
    GRFS_GEN_DBLK made;
    MakeFileDblk(&made, "f", &info);
    ASSERT_EQ(Run(CreateObject, GRFS_CREATE_OBJ, made), 0);
    WriteText(In("f"), "12345");
    EXPECT_EQ(SetFile("f", &info), 0);
    EXPECT_EQ(sent_.last_body_size, 0);
    struct stat st = Lstat(In("f"));
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    // The change of owner cleared set-user-id; the second chmod put it back.
    EXPECT_EQ(st.st_mode & 07777, 04750u);
    EXPECT_EQ(st.st_mtime, kOldMtime);
    EXPECT_EQ(st.st_atime, kOldAtime);
    EXPECT_EQ(st.st_size, 5);
}

TEST_F(SetInfoTest, DirectoryGetsModeTimesAndOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    ASSERT_EQ(mkdir(In("d").c_str(), 0755), 0);
    UnixInfo info = FileInfo(042770, 42, 43, 0);
    GRFS_GEN_DBLK made;
    MakeDirDblk(&made, "d/e", &info);
    ASSERT_EQ(Run(CreateObject, GRFS_CREATE_OBJ, made), 0);
    EXPECT_EQ(SetDir("d/e", &info), 0);
    struct stat st = Lstat(In("d/e"));
    EXPECT_EQ(st.st_mode & 07777, 02770u);
    EXPECT_EQ(st.st_uid, 42u);
    EXPECT_EQ(st.st_gid, 43u);
    EXPECT_EQ(st.st_mtime, kOldMtime);
}

TEST_F(SetInfoTest, RootDirectoryIsLeftAlone) {
    ASSERT_EQ(chmod(export_.c_str(), 0755), 0);
    const struct stat before = Lstat(export_);
    UnixInfo info = FileInfo(040700, 99, 99, 0);
    EXPECT_EQ(SetDir("", &info), 0);
    EXPECT_EQ(SetDir("/", &info), 0);
    const struct stat after = Lstat(export_);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_mtime, before.st_mtime);
}

TEST_F(SetInfoTest, PreserveCtimeWithoutRestoreReasonChangesNothing) {
    WriteText(In("f"), "1234567890");
    ASSERT_EQ(chmod(In("f").c_str(), 0644), 0);
    const struct stat before = Lstat(In("f"));
    ws_cntl.preserve_ctime = 1;
    drvdle_.attach_reason = 0x1;
    UnixInfo info = FileInfo(0100600, before.st_uid, before.st_gid, 3);
    EXPECT_EQ(SetFile("f", &info), 0);
    struct stat st = Lstat(In("f"));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_mtime, before.st_mtime);
    EXPECT_EQ(st.st_ctime, before.st_ctime);
    EXPECT_EQ(st.st_size, 10);

    // With the restore bit everything is applied, the length included.
    drvdle_.attach_reason = 0x5;
    EXPECT_EQ(SetFile("f", &info), 0);
    st = Lstat(In("f"));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_mtime, kOldMtime);
    EXPECT_EQ(st.st_size, 3);
}

TEST_F(SetInfoTest, WithoutPreserveCtimeABackupStillSetsModeAndTimesButNoLength) {
    WriteText(In("f"), "1234567890");
    const struct stat before = Lstat(In("f"));
    drvdle_.attach_reason = 0;
    UnixInfo info = FileInfo(0100640, before.st_uid, before.st_gid, 4);
    EXPECT_EQ(SetFile("f", &info), 0);
    struct stat st = Lstat(In("f"));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtime, kOldMtime);
    EXPECT_EQ(st.st_size, 10);  // lengths only under a restore attach
}

TEST_F(SetInfoTest, RestoreCutsALongerFileButNeverADirectory) {
    WriteText(In("long"), "0123456789abcdef");
    const struct stat before = Lstat(In("long"));
    UnixInfo info = FileInfo(0100644, before.st_uid, before.st_gid, 6);
    EXPECT_EQ(SetFile("long", &info), 0);
    EXPECT_EQ(ReadText(In("long")), "012345");
    EXPECT_EQ(Lstat(In("long")).st_mtime, kOldMtime);  // cutting it did not leave "now"

    ASSERT_EQ(mkdir(In("d").c_str(), 0755), 0);
    const struct stat dir_before = Lstat(In("d"));
    UnixInfo dir_info = FileInfo(040755, dir_before.st_uid, dir_before.st_gid, 1);
    EXPECT_EQ(SetDir("d", &dir_info), 0);
    EXPECT_EQ(Lstat(In("d")).st_size, dir_before.st_size);
}

TEST_F(SetInfoTest, WithoutUnixInformationOnlyTimesAreSet) {
    WriteText(In("f"), "abc");
    ASSERT_EQ(chmod(In("f").c_str(), 0604), 0);
    const struct stat before = Lstat(In("f"));
    drvdle_.attach_reason = 0;  // the block's size (0 here) is not applied
    EXPECT_EQ(SetFile("f", nullptr), 0);
    struct stat st = Lstat(In("f"));
    EXPECT_EQ(st.st_mode, before.st_mode);
    EXPECT_EQ(st.st_uid, before.st_uid);
    EXPECT_EQ(st.st_gid, before.st_gid);
    EXPECT_EQ(st.st_mtime, kOldMtime);
    EXPECT_EQ(st.st_atime, kOldAtime);
    EXPECT_EQ(st.st_size, 3);
}

TEST_F(SetInfoTest, LinkGetsItsOwnerAndTimesButNoModeAndItsTargetIsUntouched) {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    WriteText(In("target"), "target data");
    ASSERT_EQ(chmod(In("target").c_str(), 0644), 0);
    ASSERT_EQ(symlink("target", In("lnk").c_str()), 0);
    const struct stat target_before = Lstat(In("target"));
    const struct stat link_before = Lstat(In("lnk"));
    UnixInfo info = FileInfo(0120777, 321, 654, 1);
    EXPECT_EQ(SetFile("lnk", &info), 0);
    struct stat link_after = Lstat(In("lnk"));
    EXPECT_TRUE(S_ISLNK(link_after.st_mode));
    EXPECT_EQ(link_after.st_uid, 321u);
    EXPECT_EQ(link_after.st_gid, 654u);
    EXPECT_EQ(link_after.st_mode, link_before.st_mode);
    EXPECT_EQ(link_after.st_mtime, kOldMtime);
    EXPECT_EQ(link_after.st_atime, kOldAtime);
    struct stat target_after = Lstat(In("target"));
    EXPECT_EQ(target_after.st_uid, target_before.st_uid);
    EXPECT_EQ(target_after.st_mode, target_before.st_mode);
    EXPECT_EQ(target_after.st_mtime, target_before.st_mtime);
    EXPECT_EQ(target_after.st_size, target_before.st_size);
}

TEST_F(SetInfoTest, MissingObjectIsNoSuchFileAndNothingChanges) {
    UnixInfo info = FileInfo(0100600, 0, 0, 0);
    EXPECT_EQ(SetFile("missing", &info), GRFS_RC_NO_SUCH_FILE);
    EXPECT_FALSE(Exists(In("missing")));
    std::snprintf(current_path_, sizeof current_path_, "nodir");
    EXPECT_EQ(SetFile("missing", &info), GRFS_RC_NO_SUCH_FILE);
}

TEST_F(SetInfoTest, BadHandleAndWrongType) {
    WriteText(In("f"), "abc");
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "f", nullptr);
    EXPECT_EQ(Run(SetObjectInfo, GRFS_SET_OBJ_INFO, dblk, drvdle_.handle + 0x10000), GRFS_RC_BAD_DLE_HANDLE);
    dblk.dblk_type = IDB_ID;
    EXPECT_EQ(Run(SetObjectInfo, GRFS_SET_OBJ_INFO, dblk), GRFS_RC_WRONG_DBLK_TYPE);
}

}  // namespace
}  // namespace restore_test
