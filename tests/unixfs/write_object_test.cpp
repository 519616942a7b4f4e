// GRFS_WRITE_OBJ and GRFS_WRITE_OBJ_LARGE into objects opened with
// GRFS_OPEN_OBJ, and whole restores of one object: create, open for WRITE,
// the streams, set information, close.
#include <gtest/gtest.h>

#include <sys/xattr.h>

#include <vector>

#include "restore_fixture.h"
#include "unixfs/requests/object_create.h"
#include "unixfs/object/host_acl.h"
#include "unixfs/requests/object_write.h"
#include "unixfs/requests/open_object.h"
#include "unixfs/requests/set_info.h"

namespace restore_test {
namespace {

class WriteTest : public RestoreFixture {
protected:
    // GRFS_OPEN_OBJ of a file (or directory) block; the object's handle, 0
    // when the open failed (its retcode in open_rc_).
    uint32_t Open(const GRFS_GEN_DBLK& dblk, uint16_t mode = OPEN_MODE_WRITE) {
        GRFS_MESSAGE* req = request_.get();
        std::memset(&req->hdr, 0, sizeof req->hdr);
        req->hdr.msg_type = GRFS_OPEN_OBJ;
        req->hdr.request_id = 9;
        req->body.open_obj.dle_id = drvdle_.handle;
        req->body.open_obj.mode = mode;
        copy_dblk(&req->body.open_obj.dblk, &dblk);
        OpenObject(session_.get(), req, 8 + 8 + dblk.dblk_actual_size);
        open_rc_ = reply_->hdr.retcode;
        return open_rc_ == 0 ? reply_->body.open_obj_stat.obj_id : 0;
    }
    uint32_t OpenFile(const std::string& name, const UnixInfo* info, uint16_t mode = OPEN_MODE_WRITE) {
        GRFS_GEN_DBLK dblk;
        MakeFileDblk(&dblk, name, info);
        return Open(dblk, mode);
    }
    int16_t Close(uint32_t obj_id) {
        GRFS_MESSAGE* req = request_.get();
        std::memset(&req->hdr, 0, sizeof req->hdr);
        req->hdr.msg_type = GRFS_CLOSE_OBJ;
        req->body.close_obj.obj_id = obj_id;
        CloseObject(session_.get(), req);
        return reply_->hdr.retcode;
    }

    // Sends one GRFS_WRITE_OBJ; carried is the number of data bytes the
    // request really holds (the received length follows from it).
    int16_t Write(uint32_t obj_id, uint32_t stream, const std::string& data, int carried = -1) {
        GRFS_MESSAGE* req = request_.get();
        std::memset(&req->hdr, 0, sizeof req->hdr);
        req->hdr.msg_type = GRFS_WRITE_OBJ;
        req->hdr.request_id = 77;
        GRFS_WRITE_OBJ_BODY& body = req->body.write_obj;
        body.obj_id = obj_id;
        body.offset = 0x7777;  // not used: data goes where the descriptor stands
        std::memset(&body.stream_info, 0, sizeof body.stream_info);
        body.stream_info.id = stream;
        body.size = static_cast<uint16_t>(data.size());
        std::memcpy(body.data, data.data(), data.size());
        if (carried < 0) carried = static_cast<int>(data.size());
        std::memset(&reply_->hdr, 0xEE, sizeof reply_->hdr);
        WriteObject(session_.get(), req, 8 + 26 + carried);
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_WRITE_OBJ_STAT);
        EXPECT_EQ(reply_->hdr.request_id, 77u);
        EXPECT_EQ(sent_.last_body_size, 4);
        return reply_->hdr.retcode;
    }

    int16_t WriteLarge(uint32_t obj_id, uint32_t stream, const std::string& data, int carried = -1) {
        GRFS_MESSAGE* req = request_.get();
        std::memset(&req->hdr, 0, sizeof req->hdr);
        req->hdr.msg_type = GRFS_WRITE_OBJ_LARGE;
        req->hdr.request_id = 78;
        GRFS_WRITE_OBJ_LARGE_BODY& body = req->body.write_obj_large;
        body.obj_id = obj_id;
        body.offset = ToU64(0);
        std::memset(&body.stream_info, 0, sizeof body.stream_info);
        body.stream_info.id = stream;
        body.size = static_cast<uint32_t>(data.size());
        std::memcpy(body.data, data.data(), data.size());
        if (carried < 0) carried = static_cast<int>(data.size());
        std::memset(&reply_->hdr, 0xEE, sizeof reply_->hdr);
        WriteObjectLarge(session_.get(), req, 8 + 32 + carried);
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_WRITE_OBJ_LARGE_STAT);
        EXPECT_EQ(reply_->hdr.request_id, 78u);
        EXPECT_EQ(sent_.last_body_size, 8);
        return reply_->hdr.retcode;
    }

    uint16_t Consumed() const { return reply_->body.write_obj_stat.size; }
    uint16_t BlkSize() const { return reply_->body.write_obj_stat.blk_size; }
    FILE_MEMORY* Record(uint32_t obj_id) const { return LookupOpenObject(session_.get(), obj_id); }

    static std::string LinkRecord(const std::string& name, const std::string& target) {
        const uint32_t length = static_cast<uint32_t>(4 + name.size() + 1 + target.size() + 1);
        std::string record(reinterpret_cast<const char*>(&length), 4);
        record += name;
        record += '\0';
        record += target;
        record += '\0';
        return record;
    }

    static std::string ReadLink(const std::string& path) {
        char target[256] = {};
        if (readlink(path.c_str(), target, sizeof target - 1) < 0) return "<no link>";
        return target;
    }

    int16_t open_rc_ = 0;
};

TEST_F(WriteTest, DataStreamArrivesInPiecesInOrder) {
    const uint32_t obj = OpenFile("data", nullptr);
    ASSERT_NE(obj, 0u);
    EXPECT_EQ(Write(obj, STRM_STANDARD, "hello "), 0);
    EXPECT_EQ(Consumed(), 6);
    EXPECT_EQ(BlkSize(), 1);
    // Stream id 0 continues the stream in progress.
    EXPECT_EQ(Write(obj, 0, "world"), 0);
    EXPECT_EQ(Consumed(), 5);
    EXPECT_EQ(Record(obj)->obj_pos.lsw, 11u);
    EXPECT_EQ(Record(obj)->cur_stream.id, STRM_STANDARD);
    EXPECT_EQ(Close(obj), 0);
    EXPECT_EQ(ReadText(In("data")), "hello world");
}

TEST_F(WriteTest, LargeWritesCarry32BitCounts) {
    const uint32_t obj = OpenFile("large", nullptr);
    ASSERT_NE(obj, 0u);
    std::string block(30000, 'x');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(WriteLarge(obj, STRM_STANDARD, block), 0);
    EXPECT_EQ(reply_->body.write_obj_large_stat.size, 30000u);
    EXPECT_EQ(reply_->body.write_obj_large_stat.blk_size, 1u);
    EXPECT_EQ(WriteLarge(obj, 0, block), 0);
    EXPECT_EQ(Record(obj)->obj_pos.lsw, 60000u);
    EXPECT_EQ(Close(obj), 0);
    EXPECT_EQ(ReadText(In("large")), block + block);
}

TEST_F(WriteTest, UnknownOrClosedHandleIsRefused) {
    const uint32_t obj = OpenFile("h", nullptr);
    ASSERT_NE(obj, 0u);
    EXPECT_EQ(Write(obj + 0x10000, STRM_STANDARD, "abc"), GRFS_RC_BAD_OBJ_HANDLE);
    EXPECT_EQ(Consumed(), 0);
    EXPECT_EQ(WriteLarge(0, STRM_STANDARD, "abc"), GRFS_RC_BAD_OBJ_HANDLE);
    EXPECT_EQ(reply_->body.write_obj_large_stat.size, 0u);
    EXPECT_EQ(Close(obj), 0);
    EXPECT_EQ(Write(obj, STRM_STANDARD, "abc"), GRFS_RC_BAD_OBJ_HANDLE);
    EXPECT_EQ(ReadText(In("h")), "");
}

TEST_F(WriteTest, SizeBeyondTheCarriedBytesWritesNothing) {
    const uint32_t obj = OpenFile("short", nullptr);
    ASSERT_NE(obj, 0u);
    EXPECT_EQ(Write(obj, STRM_STANDARD, "0123456789", 4), GRFS_RC_INVALID_REQUEST);
    EXPECT_EQ(Consumed(), 0);
    EXPECT_EQ(WriteLarge(obj, STRM_STANDARD, "0123456789", 9), GRFS_RC_INVALID_REQUEST);
    EXPECT_EQ(reply_->body.write_obj_large_stat.size, 0u);
    EXPECT_EQ(ReadText(In("short")), "");
    EXPECT_EQ(Record(obj)->obj_pos.lsw, 0u);
    // Exactly the carried bytes are accepted.
    EXPECT_EQ(Write(obj, STRM_STANDARD, "0123456789", 10), 0);
    EXPECT_EQ(ReadText(In("short")), "0123456789");

    // A size larger than any request can be, whatever length is claimed.
    GRFS_MESSAGE* req = request_.get();
    req->hdr.msg_type = GRFS_WRITE_OBJ_LARGE;
    req->body.write_obj_large.obj_id = obj;
    req->body.write_obj_large.stream_info.id = STRM_STANDARD;
    req->body.write_obj_large.size = 0x7FFFFFFF;
    WriteObjectLarge(session_.get(), req, 0);
    EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_INVALID_REQUEST);
    EXPECT_EQ(ReadText(In("short")), "0123456789");
}

TEST_F(WriteTest, WriteIntoAnObjectOpenedForReadIsNoSpace) {
    WriteText(In("ro"), "keep");
    const uint32_t obj = OpenFile("ro", nullptr, OPEN_MODE_READ);
    ASSERT_NE(obj, 0u);
    EXPECT_EQ(Write(obj, STRM_STANDARD, "abc"), GRFS_RC_NO_SPACE);
    EXPECT_EQ(Close(obj), 0);
    EXPECT_EQ(ReadText(In("ro")), "keep");
}

TEST_F(WriteTest, DataForADirectoryIsConsumedAndDropped) {
    ASSERT_EQ(mkdir(In("dir").c_str(), 0755), 0);
    GRFS_GEN_DBLK dblk;
    MakeDirDblk(&dblk, "dir", nullptr);
    const uint32_t obj = Open(dblk);
    ASSERT_NE(obj, 0u) << open_rc_;
    EXPECT_EQ(Write(obj, STRM_STANDARD, "ignored bytes"), 0);
    EXPECT_EQ(Consumed(), 13);
    EXPECT_EQ(BlkSize(), 1);
    EXPECT_EQ(Record(obj)->obj_pos.lsw, 13u);
    EXPECT_EQ(Record(obj)->ea_space_pos.lsw, 0u);
    EXPECT_EQ(Close(obj), 0);
    EXPECT_TRUE(S_ISDIR(Lstat(In("dir")).st_mode));
    EXPECT_EQ(Lstat(In("dir")).st_nlink, 2u);
}

TEST_F(WriteTest, OtherStreamsAreConsumedAndDropped) {
    const uint32_t obj = OpenFile("acl", nullptr);
    ASSERT_NE(obj, 0u);
    const std::string acl(4 + 12, '\1');
    EXPECT_EQ(Write(obj, STRM_SOLX86_ACL, acl), 0);
    EXPECT_EQ(Consumed(), acl.size());
    EXPECT_EQ(Write(obj, STRM_SOL_ACL, acl), 0);
    EXPECT_EQ(Write(obj, 0x12345678, "zz"), 0);
    EXPECT_EQ(Record(obj)->obj_pos.lsw, 2 * acl.size() + 2);
    EXPECT_EQ(Close(obj), 0);
    EXPECT_EQ(ReadText(In("acl")), "");
}

// With posix_acls the host's ACL stream must arrive whole: too few bytes
// ask for the rest, too many are refused (-507, or 0 with
// ignore_acl_errors), the whole stream is applied; the other byte order's
// stream stays unknown.
TEST_F(WriteTest, AclStreamArrivesWholeOrIsAskedForOrRefused) {
    ws_cntl.posix_acls = 1;
    auto entries = [](std::initializer_list<SOL_ACL_ENTRY> list) {
        const int32_t n = static_cast<int32_t>(list.size());
        std::string s(reinterpret_cast<const char*>(&n), 4);
        for (const auto& e : list) s.append(reinterpret_cast<const char*>(&e), sizeof e);
        return s;
    };
    const std::string named = entries({{USER_OBJ, 0, 6, 0}, {USER, 4321, 6, 0}, {GROUP_OBJ, 0, 4, 0},
                                       {CLASS_OBJ, 0, 6, 0}, {OTHER_OBJ, 0, 0, 0}});
    const uint32_t obj = OpenFile("f", nullptr);
    ASSERT_NE(obj, 0u);
    EXPECT_EQ(Write(obj, kHostAclStream, named.substr(0, 3)), 0);
    EXPECT_EQ(Consumed(), 0);
    EXPECT_EQ(BlkSize(), 4);
    EXPECT_EQ(Write(obj, kHostAclStream, named.substr(0, 20)), 0);
    EXPECT_EQ(Consumed(), 0);
    EXPECT_EQ(BlkSize(), named.size());
    EXPECT_EQ(Write(obj, kHostAclStream, named + "xxxx"), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(Consumed(), 0);
    ws_cntl.ignore_acl_errors = 1;
    EXPECT_EQ(Write(obj, kHostAclStream, named + "xxxx"), 0);
    EXPECT_EQ(Consumed(), 0);
    ws_cntl.ignore_acl_errors = 0;
    // Counts no request could carry are refused, not asked for.
    for (int32_t hostile : {-1, 0x10000000}) {
        const std::string count(reinterpret_cast<const char*>(&hostile), 4);
        EXPECT_EQ(Write(obj, kHostAclStream, count + named.substr(4, 20)), GRFS_RC_ACCESS_DENIED) << hostile;
        EXPECT_EQ(Consumed(), 0);
        EXPECT_EQ(BlkSize(), 1);
    }
    EXPECT_EQ(Write(obj, kHostAclStream, named), 0);
    EXPECT_EQ(Consumed(), named.size());
    EXPECT_EQ(BlkSize(), 1);
    const uint32_t other = kHostAclStream == STRM_SOLX86_ACL ? STRM_SOL_ACL : STRM_SOLX86_ACL;
    EXPECT_EQ(Write(obj, other, "zz"), 0);
    EXPECT_EQ(Consumed(), 2);
    EXPECT_EQ(Record(obj)->obj_pos.lsw, named.size() + 2);
    EXPECT_EQ(Close(obj), 0);
    // USER_OBJ, USER 4321, GROUP_OBJ, MASK, OTHER: 4 + 5 x 8 bytes.
    EXPECT_EQ(getxattr(In("f").c_str(), "system.posix_acl_access", nullptr, 0), 44);

    ASSERT_EQ(mkdir(In("d").c_str(), 0755), 0);
    GRFS_GEN_DBLK dblk;
    MakeDirDblk(&dblk, "d", nullptr);
    const uint32_t dir = Open(dblk);
    ASSERT_NE(dir, 0u) << open_rc_;
    EXPECT_EQ(Write(dir, kHostAclStream, named.substr(0, 20)), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(Consumed(), 0);
    EXPECT_EQ(BlkSize(), 1);
    EXPECT_EQ(Close(dir), 0);
}

TEST_F(WriteTest, SymbolicLinkIsMadeAtCloseFromItsEaRecord) {
    UnixInfo info;
    info.mode = 0120777;
    info.size = 17;
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "lnk", &info);
    EXPECT_EQ(Run(CreateObject, GRFS_CREATE_OBJ, dblk), 0);
    WriteText(In("lnk"), "an old file of that name");
    const uint32_t obj = Open(dblk);
    ASSERT_NE(obj, 0u) << open_rc_;
    const std::string record = LinkRecord("lnk", "../outside/target");
    EXPECT_EQ(Write(obj, STRM_UNIX_EA, record.substr(0, 5)), 0);
    EXPECT_EQ(Write(obj, 0, record.substr(5)), 0);
    EXPECT_EQ(Consumed(), record.size() - 5);
    FILE_MEMORY* rec = Record(obj);
    EXPECT_EQ(rec->symlink_pending, 1);
    EXPECT_EQ(rec->ea_space_pos.lsw, record.size());
    EXPECT_EQ(rec->obj_pos.lsw, record.size());
    EXPECT_EQ(ReadText(In("lnk")), "an old file of that name");  // the link waits for the close
    EXPECT_EQ(Close(obj), 0);
    EXPECT_TRUE(S_ISLNK(Lstat(In("lnk")).st_mode));
    // Any target is allowed for the link itself.
    EXPECT_EQ(ReadLink(In("lnk")), "../outside/target");
}

TEST_F(WriteTest, EaRecordLongerThanTheBufferIsRefused) {
    UnixInfo info;
    info.mode = 0120777;
    info.size = 10;
    const uint32_t obj = OpenFile("big", &info);
    ASSERT_NE(obj, 0u) << open_rc_;
    FILE_MEMORY* rec = Record(obj);
    const uint32_t room = rec->ea_space_size.lsw;
    ASSERT_GT(room, 100u);
    const std::string record = LinkRecord("big", "t");
    EXPECT_EQ(WriteLarge(obj, STRM_UNIX_EA, record), 0);
    // One byte more than is left: nothing of it is taken.
    const std::string too_much(room - record.size() + 1, 'x');
    EXPECT_EQ(WriteLarge(obj, 0, too_much), GRFS_RC_NO_SPACE);
    EXPECT_EQ(reply_->body.write_obj_large_stat.size, 0u);
    EXPECT_EQ(rec->ea_space_pos.lsw, record.size());
    EXPECT_EQ(rec->obj_pos.lsw, record.size());
    // The record collected so far still makes its link.
    EXPECT_EQ(Close(obj), 0);
    EXPECT_EQ(ReadLink(In("big")), "t");
}

TEST_F(WriteTest, IncompleteLinkRecordMakesNoLink) {
    UnixInfo info;
    info.mode = 0120777;
    info.size = 6;
    const uint32_t obj = OpenFile("half", &info);
    ASSERT_NE(obj, 0u) << open_rc_;
    const std::string record = LinkRecord("half", "target");
    EXPECT_EQ(Write(obj, STRM_UNIX_EA, record.substr(0, record.size() - 3)), 0);
    EXPECT_EQ(Close(obj), 0);
    EXPECT_FALSE(Exists(In("half")));
}

TEST_F(WriteTest, WholeRestoreOfAFile) {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    UnixInfo info;
    info.mode = 0106750;  // set-user-id and set-group-id
    info.uid = 2001;
    info.gid = 2002;
    info.size = 11;
    GRFS_GEN_DBLK dblk;
    MakeFileDblk(&dblk, "whole", &info);
    SetDates(&dblk, 1100000000, 1000000000);
    WriteText(In("whole"), "a longer file that was here before");

    EXPECT_EQ(Run(PrepareDblk, GRFS_PREPARE_DBLK, dblk), 0);
    EXPECT_EQ(Run(CreateObject, GRFS_CREATE_OBJ, dblk), 0);
    const uint32_t obj = Open(dblk);
    ASSERT_NE(obj, 0u) << open_rc_;
    EXPECT_EQ(Write(obj, STRM_STANDARD, "hello"), 0);
    EXPECT_EQ(Write(obj, 0, " world"), 0);
    EXPECT_EQ(Run(SetObjectInfo, GRFS_SET_OBJ_INFO, dblk), 0);
    EXPECT_EQ(Close(obj), 0);

    struct stat st = Lstat(In("whole"));
    EXPECT_EQ(ReadText(In("whole")), "hello world");
    EXPECT_EQ(st.st_mode & 07777, 06750u);
    EXPECT_EQ(st.st_uid, 2001u);
    EXPECT_EQ(st.st_gid, 2002u);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(st.st_atime, 1100000000);
}

TEST_F(WriteTest, BothNamesOfAMultiplyLinkedFileRestoreOneFile) {
    UnixInfo info;
    info.ino = 31337;
    info.nlink = 2;
    info.size = 4;
    for (const char* name : {"first", "second"}) {
        GRFS_GEN_DBLK dblk;
        MakeFileDblk(&dblk, name, &info);
        EXPECT_EQ(Run(CreateObject, GRFS_CREATE_OBJ, dblk), 0);
        const uint32_t obj = Open(dblk);
        ASSERT_NE(obj, 0u) << open_rc_;
        // The second name's open truncates the shared file; its data comes again.
        EXPECT_EQ(Write(obj, STRM_STANDARD, "data"), 0);
        EXPECT_EQ(Close(obj), 0);
    }
    struct stat a = Lstat(In("first"));
    struct stat b = Lstat(In("second"));
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_nlink, 2u);
    EXPECT_EQ(ReadText(In("first")), "data");
}

}  // namespace
}  // namespace restore_test
