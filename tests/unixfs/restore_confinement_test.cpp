// A restore stays inside its export and honours write protection: nothing
// outside the tree, or inside a write-protected one, changes.
#include <gtest/gtest.h>

#include "dispatch_record.h"
#include "restore_fixture.h"
#include "unixfs/requests/delete_object.h"
#include "unixfs/requests/object_create.h"
#include "unixfs/requests/object_write.h"
#include "unixfs/requests/open_object.h"
#include "unixfs/requests/set_info.h"
#include "unixfs/requests/verify_info.h"

namespace restore_test {
namespace {

class ConfinementTest : public RestoreFixture {
protected:
    void SetUp() override {
        RestoreFixture::SetUp();
        WriteText(Out("victim"), "precious");
        ASSERT_EQ(chmod(Out("victim").c_str(), 0600), 0);
        ASSERT_EQ(mkdir(Out("vdir").c_str(), 0700), 0);
        victim_ = Lstat(Out("victim"));
        vdir_ = Lstat(Out("vdir"));
        ASSERT_EQ(symlink(outside_.c_str(), In("lnk").c_str()), 0);         // to a directory outside
        ASSERT_EQ(symlink(Out("victim").c_str(), In("flink").c_str()), 0);  // to a file outside
    }

    // Everything outside is as SetUp left it.
    void ExpectOutsideUntouched() {
        struct stat st = Lstat(Out("victim"));
        EXPECT_EQ(st.st_mode, victim_.st_mode);
        EXPECT_EQ(st.st_uid, victim_.st_uid);
        EXPECT_EQ(st.st_gid, victim_.st_gid);
        EXPECT_EQ(st.st_size, victim_.st_size);
        EXPECT_EQ(st.st_mtime, victim_.st_mtime);
        EXPECT_EQ(st.st_nlink, 1u);
        EXPECT_EQ(ReadText(Out("victim")), "precious");
        st = Lstat(Out("vdir"));
        EXPECT_EQ(st.st_mode, vdir_.st_mode);
        EXPECT_EQ(st.st_mtime, vdir_.st_mtime);
        EXPECT_FALSE(Exists(Out("evil")));
        EXPECT_FALSE(Exists(Out("newdir")));
        EXPECT_FALSE(Exists(Out("vdir/evil")));
        EXPECT_FALSE(Exists(base_ + "/evil"));
    }

    int16_t Do(int (*handler)(GRFS_SESSION*, GRFS_MESSAGE*, int), uint8_t type, bool directory,
               const std::string& text, const UnixInfo* info) {
        GRFS_GEN_DBLK dblk;
        if (directory) {
            MakeDirDblk(&dblk, text, info);
        } else {
            MakeFileDblk(&dblk, text, info);
        }
        SetDates(&dblk, 86400 * 365, 86400 * 365);
        return Run(handler, type, dblk);
    }
    int16_t CreateFile(const std::string& name, const UnixInfo* info = nullptr) {
        return Do(CreateObject, GRFS_CREATE_OBJ, false, name, info);
    }
    int16_t CreateDir(const std::string& path) { return Do(CreateObject, GRFS_CREATE_OBJ, true, path, nullptr); }
    int16_t DeleteFile(const std::string& name) { return Do(DeleteObject, GRFS_DELETE_OBJ, false, name, nullptr); }
    int16_t DeleteDir(const std::string& path) { return Do(DeleteObject, GRFS_DELETE_OBJ, true, path, nullptr); }
    int16_t SetFile(const std::string& name, const UnixInfo* info) {
        return Do(SetObjectInfo, GRFS_SET_OBJ_INFO, false, name, info);
    }
    int16_t SetDir(const std::string& path, const UnixInfo* info) {
        return Do(SetObjectInfo, GRFS_SET_OBJ_INFO, true, path, info);
    }

    // Owner 4321, everything open, length 0: what an attack would set.
    UnixInfo Hostile(uint32_t mode) {
        UnixInfo info;
        info.mode = mode;
        info.uid = 4321;
        info.gid = 4321;
        info.size = 0;
        return info;
    }

    // GRFS_OPEN_OBJ for WRITE; the retcode.
    int16_t Open(const GRFS_GEN_DBLK& dblk) {
        GRFS_MESSAGE* req = request_.get();
        std::memset(&req->hdr, 0, sizeof req->hdr);
        req->hdr.msg_type = GRFS_OPEN_OBJ;
        req->body.open_obj.dle_id = drvdle_.handle;
        req->body.open_obj.mode = OPEN_MODE_WRITE;
        copy_dblk(&req->body.open_obj.dblk, &dblk);
        OpenObject(session_.get(), req, 8 + 8 + dblk.dblk_actual_size);
        return reply_->hdr.retcode;
    }

    struct stat victim_{};
    struct stat vdir_{};
};

TEST_F(ConfinementTest, DotDotIsRefusedEverywhere) {
    UnixInfo file = Hostile(0100777);
    UnixInfo dir = Hostile(040777);
    EXPECT_EQ(CreateFile("../outside/evil"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(CreateFile("sub/../../evil"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(CreateFile(".."), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(CreateDir("../outside/newdir"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(CreateDir("a/../../outside/newdir"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(DeleteFile("../outside/victim"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(DeleteDir("../outside/vdir"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(SetFile("../outside/victim", &file), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(SetDir("../outside/vdir", &dir), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(SetDir("..", &dir), GRFS_RC_ACCESS_DENIED);
    // A current directory that climbs out counts as well.
    std::snprintf(current_path_, sizeof current_path_, "../outside");
    EXPECT_EQ(CreateFile("evil"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(DeleteFile("victim"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(SetFile("victim", &file), GRFS_RC_ACCESS_DENIED);
    ExpectOutsideUntouched();
}

TEST_F(ConfinementTest, NoRestoreGoesThroughALinkToADirectory) {
    UnixInfo file = Hostile(0100777);
    UnixInfo dir = Hostile(040777);
    UnixInfo fifo = Hostile(010666);
    EXPECT_EQ(CreateFile("lnk/evil"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(CreateFile("lnk/evil", &fifo), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(CreateDir("lnk/newdir"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(CreateDir("lnk/vdir/evil"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(DeleteFile("lnk/victim"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(DeleteDir("lnk/vdir"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(SetFile("lnk/victim", &file), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(SetDir("lnk/vdir", &dir), GRFS_RC_ACCESS_DENIED);
    // The same through a current directory set to the link.
    std::snprintf(current_path_, sizeof current_path_, "lnk");
    EXPECT_EQ(CreateFile("evil"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(DeleteFile("victim"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(SetFile("victim", &file), GRFS_RC_ACCESS_DENIED);
    ExpectOutsideUntouched();
}

TEST_F(ConfinementTest, FollowSymdirsDoesNotOpenRestoresToLinks) {
    ws_cntl.follow_symdirs = 1;
    UnixInfo file = Hostile(0100777);
    EXPECT_EQ(CreateFile("lnk/evil"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(CreateDir("lnk/newdir"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(DeleteFile("lnk/victim"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(SetFile("lnk/victim", &file), GRFS_RC_ACCESS_DENIED);
    ExpectOutsideUntouched();
}

TEST_F(ConfinementTest, LinksInsideTheExportAreNotPassedEither) {
    ASSERT_EQ(mkdir(In("real").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", In("alias").c_str()), 0);
    EXPECT_EQ(CreateFile("alias/f"), GRFS_RC_ACCESS_DENIED);
    EXPECT_FALSE(Exists(In("real/f")));
    EXPECT_EQ(CreateFile("real/f"), 0);
    EXPECT_TRUE(Exists(In("real/f")));
}

TEST_F(ConfinementTest, ALinkAsLastComponentIsNeverFollowedByChanges) {
    UnixInfo file = Hostile(0100777);
    drvdle_.attach_reason = 0x4;  // lengths would be set too
    // Mode, times and length would reach the target through the link.
    int16_t rc = SetFile("flink", &file);
    EXPECT_TRUE(rc == 0 || rc == GRFS_RC_ACCESS_DENIED) << rc;  // lchown needs root
    EXPECT_TRUE(S_ISLNK(Lstat(In("flink")).st_mode));
    ExpectOutsideUntouched();

    // A device or FIFO replaces the link itself; the target stays.
    UnixInfo fifo = Hostile(010666);
    EXPECT_EQ(CreateFile("flink", &fifo), 0);
    EXPECT_TRUE(S_ISFIFO(Lstat(In("flink")).st_mode));
    ExpectOutsideUntouched();

    // So does a regular file.
    ASSERT_EQ(unlink(In("flink").c_str()), 0);
    ASSERT_EQ(symlink(Out("victim").c_str(), In("flink").c_str()), 0);
    EXPECT_EQ(CreateFile("flink"), 0);
    EXPECT_TRUE(S_ISREG(Lstat(In("flink")).st_mode));
    ExpectOutsideUntouched();

    // Deleting a link removes the link, not its target.
    ASSERT_EQ(symlink(Out("victim").c_str(), In("flink2").c_str()), 0);
    EXPECT_EQ(DeleteFile("flink2"), 0);
    EXPECT_FALSE(Exists(In("flink2")));
    EXPECT_EQ(DeleteDir("lnk"), GRFS_RC_ACCESS_DENIED);  // a link is no directory
    ExpectOutsideUntouched();
}

TEST_F(ConfinementTest, HardLinkCannotReachOutside) {
    // The first name of a key lies outside the export's tree (as when the
    // table still holds a name of another export): no link is made to it.
    UnixInfo info;
    info.ino = 555;
    info.nlink = 2;
    HARD_LINK_KEY key{info.dev, ToU64(info.ino)};
    ASSERT_EQ(HardLinkersAddLink(&ws_cntl, key, Out("victim").c_str()), 0);
    EXPECT_NE(CreateFile("stolen", &info), 0);
    EXPECT_FALSE(Exists(In("stolen")));
    ExpectOutsideUntouched();
}

TEST_F(ConfinementTest, NothingIsOpenedForWritingThroughALink) {
    UnixInfo file = Hostile(0100666);
    GRFS_GEN_DBLK dblk;
    for (const char* name : {"lnk/evil", "lnk/victim", "../outside/victim", "flink"}) {
        MakeFileDblk(&dblk, name, &file);
        EXPECT_NE(Open(dblk), 0) << name;
        EXPECT_EQ(reply_->body.open_obj_stat.obj_id, 0u) << name;
    }
    ExpectOutsideUntouched();
}

TEST_F(ConfinementTest, LinkMadeAtCloseStaysInsideWhenItsDirectoryIsSwapped) {
    ASSERT_EQ(mkdir(In("sub").c_str(), 0755), 0);
    UnixInfo link = Hostile(0120777);
    link.size = 11;
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "sub/evil", &link);
    ASSERT_EQ(Open(dblk), 0);
    const uint32_t obj = reply_->body.open_obj_stat.obj_id;
    const std::string target = "/etc/passwd";
    const uint32_t length = static_cast<uint32_t>(4 + 5 + target.size() + 1);
    std::string record(reinterpret_cast<const char*>(&length), 4);
    record += std::string("evil") + '\0' + target + '\0';

    GRFS_MESSAGE* req = request_.get();
    req->hdr.msg_type = GRFS_WRITE_OBJ;
    req->body.write_obj.obj_id = obj;
    std::memset(&req->body.write_obj.stream_info, 0, sizeof(GRFS_STREAM_INFO));
    req->body.write_obj.stream_info.id = STRM_UNIX_EA;
    req->body.write_obj.size = static_cast<uint16_t>(record.size());
    std::memcpy(req->body.write_obj.data, record.data(), record.size());
    WriteObject(session_.get(), req, static_cast<int>(8 + 26 + record.size()));
    ASSERT_EQ(reply_->hdr.retcode, 0);

    // Between the write and the close the directory becomes a link to outside.
    ASSERT_EQ(rename(In("sub").c_str(), In("sub.old").c_str()), 0);
    ASSERT_EQ(symlink(outside_.c_str(), In("sub").c_str()), 0);
    req->hdr.msg_type = GRFS_CLOSE_OBJ;
    req->body.close_obj.obj_id = obj;
    CloseObject(session_.get(), req);
    EXPECT_EQ(reply_->hdr.retcode, 0);
    ExpectOutsideUntouched();
    EXPECT_TRUE(S_ISLNK(Lstat(In("sub")).st_mode));
}

class WriteProtectTest : public RestoreFixture {};

TEST_F(WriteProtectTest, ChangesAreRefusedAndNothingOnDiskChanges) {
    WriteText(In("file"), "keep me");
    ASSERT_EQ(chmod(In("file").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(In("dir").c_str(), 0755), 0);
    const struct stat file_before = Lstat(In("file"));
    dle_.writable = 0;

    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "new", nullptr);
    EXPECT_EQ(Run(DispatchRecord, GRFS_CREATE_OBJ, dblk), GRFS_RC_ACCESS_DENIED);
    EXPECT_FALSE(Exists(In("new")));
    MakeDirDblk(&dblk, "newdir/sub", nullptr);
    EXPECT_EQ(Run(DispatchRecord, GRFS_CREATE_OBJ, dblk), GRFS_RC_ACCESS_DENIED);
    EXPECT_FALSE(Exists(In("newdir")));

    MakeFileDblk(&dblk, "file", nullptr);
    EXPECT_EQ(Run(DispatchRecord, GRFS_DELETE_OBJ, dblk), GRFS_RC_ACCESS_DENIED);
    MakeDirDblk(&dblk, "dir", nullptr);
    EXPECT_EQ(Run(DispatchRecord, GRFS_DELETE_OBJ, dblk), GRFS_RC_ACCESS_DENIED);
    EXPECT_TRUE(Exists(In("dir")));

    UnixInfo info;
    info.mode = 0100777;
    info.uid = 4321;
    MakeFileDblk(&dblk, "file", &info);
    SetDates(&dblk, 86400, 86400);
    EXPECT_EQ(Run(DispatchRecord, GRFS_SET_OBJ_INFO, dblk), GRFS_RC_ACCESS_DENIED);

    const struct stat file_after = Lstat(In("file"));
    EXPECT_EQ(file_after.st_mode, file_before.st_mode);
    EXPECT_EQ(file_after.st_uid, file_before.st_uid);
    EXPECT_EQ(file_after.st_mtime, file_before.st_mtime);
    EXPECT_EQ(ReadText(In("file")), "keep me");

    // Verify and prepare read only and still work.
    MakeFileDblk(&dblk, "file", nullptr);
    EXPECT_NE(Run(VerifyObjectInfo, GRFS_VERIFY_OBJ_INFO, dblk), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(Run(PrepareDblk, GRFS_PREPARE_DBLK, dblk), 0);
}

TEST_F(WriteProtectTest, BackupThatPreservesCtimeStillGetsItsNoOp) {
    // A backup server resets access times after reading; with preserve_ctime
    // the agent changes nothing and says so, write protection or not.
    WriteText(In("file"), "x");
    dle_.writable = 0;
    ws_cntl.preserve_ctime = 1;
    drvdle_.attach_reason = 0;
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "file", nullptr);
    EXPECT_EQ(Run(DispatchRecord, GRFS_SET_OBJ_INFO, dblk), 0);
    drvdle_.attach_reason = 0x4;
    EXPECT_EQ(Run(DispatchRecord, GRFS_SET_OBJ_INFO, dblk), GRFS_RC_ACCESS_DENIED);
}

}  // namespace
}  // namespace restore_test
