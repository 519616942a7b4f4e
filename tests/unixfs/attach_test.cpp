#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

#include "find_fixture.h"

namespace find_test {
namespace {

// ---- credentials ----

TEST(AttachCredentials, GoldenScrambledBytesUnscramble) {
    // name "AB", password "C": the sender xors the password words with the
    // name's byte sum 0x0083, then the name words with the scrambled
    // password's byte sum 0xC0 + 63 * 0x83 = 0x20FD.
    char name[128] = {};
    char password[128] = {};
    for (int i = 0; i < 128; i += 2) {
        name[i] = static_cast<char>(0xFD);
        name[i + 1] = 0x20;
        password[i] = static_cast<char>(0x83);
    }
    name[0] = static_cast<char>(0x41 ^ 0xFD);
    name[1] = static_cast<char>(0x42 ^ 0x20);
    password[0] = static_cast<char>(0x43 ^ 0x83);

    char sent_name[128] = "AB";
    char sent_password[128] = "C";
    GRFSEncrypt(sent_name, sent_password, 128);
    EXPECT_EQ(std::memcmp(sent_name, name, 128), 0);
    EXPECT_EQ(std::memcmp(sent_password, password, 128), 0);

    GRFSDecrypt(name, password, 128);
    EXPECT_STREQ(name, "AB");
    EXPECT_STREQ(password, "C");
    for (int i = 3; i < 128; ++i) ASSERT_EQ(name[i], 0) << i;
    for (int i = 2; i < 128; ++i) ASSERT_EQ(password[i], 0) << i;
}

TEST(AttachCredentials, RoundTripIncludingEmptyTextsAndTrailingBytes) {
    struct Case {
        const char* name;
        const char* password;
    } cases[] = {{"", ""}, {"WS1", ""}, {"", "SECRET"}, {"MY-WORKSTATION", "PASSWORD WITH SPACES"}};
    for (const auto& c : cases) {
        char name[128] = {};
        char password[128] = {};
        std::strcpy(name, c.name);
        std::strcpy(password, c.password);
        name[127] = 0x55;  // bytes after the zero take part in the sums
        char plain_name[128], plain_password[128];
        std::memcpy(plain_name, name, 128);
        std::memcpy(plain_password, password, 128);
        GRFSEncrypt(name, password, 128);
        GRFSDecrypt(name, password, 128);
        EXPECT_EQ(std::memcmp(name, plain_name, 128), 0) << c.name;
        EXPECT_EQ(std::memcmp(password, plain_password, 128), 0) << c.password;
    }
}

// ---- workstation and DLE attach ----

class AttachHandler : public FindFixture {};

TEST_F(AttachHandler, WorkstationAttachChecksNameAndPassword) {
    EXPECT_EQ(Attach("OTHER", "", 0), 1);
    EXPECT_EQ(reply_->hdr.msg_type, GRFS_ATTACH_DLE_STAT);
    EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(reply_->hdr.request_id, 77u);
    EXPECT_EQ(sent_.last_body_size, 0);

    ws_cntl.password_required = 1;
    std::strcpy(ws_cntl.workstation_password, "PW");
    EXPECT_EQ(Attach("HOST", "pw", 0), 1);
    EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(ses_.attach_count, 0);

    EXPECT_EQ(Attach("HOST", "PW", 0), 0);
    const GRFS_ATTACH_DLE_STAT_BODY& stat = reply_->body.attach_dle_stat;
    EXPECT_EQ(reply_->hdr.retcode, 0);
    EXPECT_NE(stat.dle_id, 0u);
    EXPECT_EQ(stat.max_connects, 1);
    EXPECT_EQ(stat.opens_per_connect, 1);
    EXPECT_EQ(stat.dle_capability, 0x000C);
    EXPECT_EQ(stat.max_obj_bsize, 31744);
    EXPECT_EQ(stat.supports_children, 1);
    EXPECT_EQ(stat.cmpr_type, 0);
    EXPECT_EQ(stat.path_len, 1);
    EXPECT_STREQ(stat.path, "");
    EXPECT_EQ(sent_.last_body_size, 22);
    EXPECT_EQ(ses_.attach_count, 1);
    EXPECT_NE(LookupWsdle(&ses_, stat.dle_id), nullptr);
}

TEST_F(AttachHandler, EachRefusalDoublesTheWaitBeforeTheNextAttachUpTo16Seconds) {
    ws_cntl.password_required = 1;
    std::strcpy(ws_cntl.workstation_password, "PW");
    EXPECT_EQ(Attach("HOST", "PW", 0), 0);
    EXPECT_TRUE(attach_pauses_.empty());  // no refusal before it: at once

    testing::internal::CaptureStderr();
    for (int i = 0; i < 7; ++i) EXPECT_EQ(Attach("HOST", "GUESS", 0), 1);
    EXPECT_EQ(Attach("HOST", "PW", 0), 0);  // still waits for the last refusal
    const std::string err = testing::internal::GetCapturedStderr();

    const int64_t expected_seconds[] = {1, 2, 4, 8, 16, 16, 16};
    ASSERT_EQ(attach_pauses_.size(), std::size(expected_seconds));
    for (size_t i = 0; i < attach_pauses_.size(); ++i) {
        EXPECT_LE(attach_pauses_[i], expected_seconds[i] * 1000000000) << i;
        EXPECT_GT(attach_pauses_[i], expected_seconds[i] * 1000000000 - 500000000) << i;
    }
    std::string line = "agent: attach refused: peer=unknown workstation=\"HOST\" reason=wrong password\n";
    std::string lines;
    for (int i = 0; i < 7; ++i) lines += line;
    EXPECT_EQ(err, lines);
}

TEST_F(AttachHandler, WithoutPasswordRequiredAnyPasswordIsAccepted) {
    EXPECT_EQ(Attach("HOST", "whatever", 0), 0);
    AddDle("OPEN", export_);
    EXPECT_EQ(Attach("OPEN", "anything", reply_->body.attach_dle_stat.dle_id), 0);
}

TEST_F(AttachHandler, DleAttachLimitsBlockSizeAndStartsAtTheRoot) {
    AddDle("EXPORT", export_, "SECRET");
    ASSERT_EQ(Attach("HOST", "", 0), 0);
    uint32_t ws = reply_->body.attach_dle_stat.dle_id;

    EXPECT_EQ(Attach("NOPE", "SECRET", ws), 1);
    EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(Attach("EXPORT", "WRONG", ws), 1);
    EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(Attach("export", "SECRET", ws), 1);  // names compare exactly

    ASSERT_EQ(Attach("EXPORT", "SECRET", ws, 60000), 0);
    const GRFS_ATTACH_DLE_STAT_BODY& stat = reply_->body.attach_dle_stat;
    EXPECT_EQ(stat.max_obj_bsize, 31744);
    EXPECT_EQ(stat.supports_children, 0);
    EXPECT_EQ(stat.path_len, 1);
    EXPECT_EQ(sent_.last_body_size, 22);
    DRVDLE* drvdle = LookupDrvdle(&ses_, stat.dle_id);
    ASSERT_NE(drvdle, nullptr);
    EXPECT_STREQ(drvdle->current_path, "");
    EXPECT_EQ(drvdle->attach_reason, 3);
    EXPECT_GT(drvdle->max_name_len, 14);
    struct stat by_fd, by_path;
    ASSERT_EQ(fstat(drvdle->root_fd, &by_fd), 0);
    ASSERT_EQ(::stat(export_.c_str(), &by_path), 0);
    EXPECT_EQ(by_fd.st_ino, by_path.st_ino);
    EXPECT_EQ(ses_.attach_count, 2);

    ASSERT_EQ(Attach("EXPORT", "SECRET", ws, 512), 0);
    EXPECT_EQ(reply_->body.attach_dle_stat.max_obj_bsize, 512);
    EXPECT_EQ(ses_.attach_count, 3);
}

TEST_F(AttachHandler, DleAttachNeedsALiveWorkstationAttachment) {
    AddDle("EXPORT", export_);
    EXPECT_EQ(Attach("EXPORT", "", 0x00050003), 1);  // never issued
    EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_BAD_DLE_HANDLE);
    uint32_t dle = AttachExport();
    EXPECT_EQ(Attach("EXPORT", "", dle), 1);  // a DLE attachment is no parent
    EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_BAD_DLE_HANDLE);
    EXPECT_EQ(ses_.attach_count, 2);
}

// ---- DLE listing ----

class DleListing : public FindFixture {
protected:
    int16_t Find(uint32_t id, int type) {
        auto req = NewMessage(static_cast<uint8_t>(type));
        req->body.dle_req.dle_id = id;
        EXPECT_EQ(FindDLE(&ses_, req.get(), 4, type), 1);
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_FIND_DLE_STAT);
        return reply_->hdr.retcode;
    }
    std::string Name() const { return reply_->body.find_dle_stat.dle_name; }
    int More() const { return reply_->body.find_dle_stat.more; }
};

TEST_F(DleListing, OneDle) {
    AddDle("ONLY", export_, "PW")->writable = 0;
    ASSERT_EQ(Attach("HOST", "", 0), 0);
    uint32_t ws = reply_->body.attach_dle_stat.dle_id;

    ASSERT_EQ(Find(ws, GRFS_FIND_FIRST_DLE), 0);
    const GRFS_FIND_DLE_STAT_BODY& stat = reply_->body.find_dle_stat;
    EXPECT_EQ(Name(), "ONLY");
    EXPECT_EQ(More(), 0);
    EXPECT_EQ(stat.path_delim, '/');
    EXPECT_EQ(stat.password_req, 1);
    EXPECT_EQ(stat.user_req, 0);
    EXPECT_EQ(stat.writable, 0);
    EXPECT_EQ(stat.reserved_flag, 1);
    EXPECT_EQ(stat.os_id, 20);
    EXPECT_EQ(stat.os_ver, 0);
    EXPECT_EQ(stat.fs_type, 0);
    EXPECT_EQ(sent_.last_body_size, 146);

    EXPECT_EQ(Find(ws, GRFS_FIND_NEXT_DLE), GRFS_RC_NOT_FOUND);
    EXPECT_EQ(sent_.last_body_size, 0);
    ASSERT_EQ(Find(ws, GRFS_FIND_NEXT_DLE), 0);
    EXPECT_EQ(Name(), "ONLY");
}

TEST_F(DleListing, ThreeDlesAndTheCycle) {
    AddDle("D1", export_);
    AddDle("D2", export_);
    AddDle("D3", export_);
    ASSERT_EQ(Attach("HOST", "", 0), 0);
    uint32_t ws = reply_->body.attach_dle_stat.dle_id;
    ASSERT_EQ(Find(ws, GRFS_FIND_FIRST_DLE), 0);
    EXPECT_EQ(Name(), "D1");
    EXPECT_EQ(More(), 1);
    ASSERT_EQ(Find(ws, GRFS_FIND_NEXT_DLE), 0);
    EXPECT_EQ(Name(), "D2");
    EXPECT_EQ(More(), 1);
    ASSERT_EQ(Find(ws, GRFS_FIND_NEXT_DLE), 0);
    EXPECT_EQ(Name(), "D3");
    EXPECT_EQ(More(), 0);
    EXPECT_EQ(Find(ws, GRFS_FIND_NEXT_DLE), GRFS_RC_NOT_FOUND);
    ASSERT_EQ(Find(ws, GRFS_FIND_NEXT_DLE), 0);
    EXPECT_EQ(Name(), "D1");
    EXPECT_EQ(More(), 1);
    ASSERT_EQ(Find(ws, GRFS_FIND_FIRST_DLE), 0);
    EXPECT_EQ(Name(), "D1");
}

TEST_F(DleListing, OnlyAWorkstationAttachmentLists) {
    uint32_t dle = AttachExport();
    EXPECT_EQ(Find(dle, GRFS_FIND_FIRST_DLE), GRFS_RC_BAD_DLE_HANDLE);
    EXPECT_EQ(sent_.last_body_size, 0);
    EXPECT_EQ(Find(0, GRFS_FIND_FIRST_DLE), GRFS_RC_BAD_DLE_HANDLE);
    EXPECT_EQ(Find(0xFFFFFFFF, GRFS_FIND_NEXT_DLE), GRFS_RC_BAD_DLE_HANDLE);
}

// ---- detach ----

class Detach : public FindFixture {
protected:
    int16_t DoDetach(uint32_t id) {
        auto req = NewMessage(GRFS_DETACH_DLE);
        req->body.dle_req.dle_id = id;
        EXPECT_EQ(DetachDLE(&ses_, req.get()), 0);
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_DETACH_DLE_STAT);
        EXPECT_EQ(sent_.last_body_size, 0);
        return reply_->hdr.retcode;
    }
};

TEST_F(Detach, WorkstationStaysUntilItsLastDleAttachmentGoes) {
    AddDle("EXPORT", export_);
    ASSERT_EQ(Attach("HOST", "", 0), 0);
    uint32_t ws = reply_->body.attach_dle_stat.dle_id;
    ASSERT_EQ(Attach("EXPORT", "", ws), 0);
    uint32_t d1 = reply_->body.attach_dle_stat.dle_id;
    ASSERT_EQ(Attach("EXPORT", "", ws), 0);
    uint32_t d2 = reply_->body.attach_dle_stat.dle_id;
    EXPECT_EQ(ses_.attach_count, 3);

    EXPECT_EQ(DoDetach(ws), 0);
    EXPECT_EQ(ses_.attach_count, 2);
    EXPECT_EQ(ses_.attach_list.count, 1);  // kept for its DLE attachments
    EXPECT_EQ(DoDetach(ws), GRFS_RC_BAD_DLE_HANDLE);
    EXPECT_EQ(Attach("EXPORT", "", ws), 1);
    EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_BAD_DLE_HANDLE);

    EXPECT_EQ(DoDetach(d1), 0);
    EXPECT_EQ(ses_.attach_list.count, 1);
    EXPECT_EQ(DoDetach(d1), GRFS_RC_BAD_DLE_HANDLE);
    EXPECT_EQ(DoDetach(d2), 0);
    EXPECT_EQ(ses_.attach_list.count, 0);
    EXPECT_EQ(ses_.attach_count, 0);
    EXPECT_EQ(ses_.handles->in_use, 0u);
}

TEST_F(Detach, WorkstationWithoutDleAttachmentsGoesAtOnce) {
    ASSERT_EQ(Attach("HOST", "", 0), 0);
    uint32_t ws = reply_->body.attach_dle_stat.dle_id;
    EXPECT_EQ(DoDetach(ws), 0);
    EXPECT_EQ(ses_.attach_list.count, 0);
    EXPECT_EQ(ses_.attach_count, 0);
    EXPECT_EQ(DoDetach(ws), GRFS_RC_BAD_DLE_HANDLE);
    EXPECT_EQ(DoDetach(0), GRFS_RC_BAD_DLE_HANDLE);
}

TEST_F(Detach, DetachReleasesTheRootDescriptorAndSearches) {
    fs::create_directory(export_ / "d");
    std::ofstream((export_ / "f").c_str()) << "x";
    uint32_t dle = AttachExport();
    int root_fd = LookupDrvdle(&ses_, dle)->root_fd;
    ASSERT_EQ(FindFirst(dle), 0);
    auto dblk = SaveDblk();
    EXPECT_EQ(LiveSearchCount(), 1u);
    EXPECT_EQ(DoDetach(dle), 0);
    EXPECT_EQ(LiveSearchCount(), 0u);
    EXPECT_EQ(fcntl(root_fd, F_GETFD), -1);  // closed
    // The old DLE handle and the old search handle name nothing.
    EXPECT_EQ(FindNext(dle, *dblk), GRFS_RC_BAD_DLE_HANDLE);
    uint32_t again = AttachExport();
    EXPECT_EQ(FindNext(again, *dblk), GRFS_RC_NOT_FOUND);
    EXPECT_EQ(reply_->body.find_obj_stat.more, 0);
}

TEST_F(Detach, SessionEndReleasesEverything) {
    uint32_t dle = AttachExport();
    ASSERT_EQ(Attach("EXPORT", "", ws_id_), 0);
    auto req = NewMessage(GRFS_DETACH_DLE);
    req->body.dle_req.dle_id = ws_id_;
    DetachDLE(&ses_, req.get());  // detached workstation waiting for two
    ASSERT_EQ(Attach("HOST", "", 0), 0);
    EXPECT_EQ(ses_.attach_count, 3);
    (void)dle;
    ReleaseAllAttachments(&ses_);
    EXPECT_EQ(ses_.attach_count, 0);
    EXPECT_EQ(ses_.attach_list.count, 0);
    EXPECT_EQ(ses_.handles->in_use, 0u);
}

// ---- change directory ----

class ChangeDirectory : public FindFixture {
protected:
    void SetUp() override {
        FindFixture::SetUp();
        fs::create_directories(export_ / "usr/local");
        fs::create_directories(base_ / "outside/secret");
        fs::create_directory_symlink(base_ / "outside", export_ / "out");
        fs::create_directory_symlink("usr", export_ / "inner");
        std::ofstream((export_ / "file").c_str()) << "x";
        dle_ = AttachExport();
    }
    const char* Current() { return LookupDrvdle(&ses_, dle_)->current_path; }
    uint32_t dle_ = 0;
};

TEST_F(ChangeDirectory, PathRules) {
    EXPECT_EQ(ChangeDirTo(dle_, std::string("usr\0local\0", 10), 10), 0);
    EXPECT_STREQ(Current(), "usr/local");
    EXPECT_EQ(ChangeDirTo(dle_, "", 0), 0);  // size 0: unchanged
    EXPECT_STREQ(Current(), "usr/local");
    EXPECT_EQ(ChangeDirTo(dle_, std::string("\0", 1), 1), 0);  // size 1: the root
    EXPECT_STREQ(Current(), "");
    EXPECT_EQ(ChangeDirTo(dle_, std::string("\0usr\0local\0", 11), 11), 0);
    EXPECT_STREQ(Current(), "usr/local/");
    EXPECT_EQ(ChangeDirTo(dle_, "", -5), 0);  // negative: the root
    EXPECT_STREQ(Current(), "");
}

TEST_F(ChangeDirectory, RefusalsKeepTheCurrentDirectory) {
    ASSERT_EQ(ChangeDirTo(dle_, "usr"), 0);
    std::string long_path(256, 'a');
    EXPECT_EQ(ChangeDirTo(dle_, long_path + std::string(1, '\0'), 257), GRFS_RC_CHANGE_DIR_FAILED);
    EXPECT_STREQ(Current(), "usr");
    EXPECT_EQ(ChangeDirTo(dle_, "missing"), GRFS_RC_CHANGE_DIR_FAILED);
    EXPECT_EQ(ChangeDirTo(dle_, "file"), GRFS_RC_CHANGE_DIR_FAILED);
    EXPECT_EQ(ChangeDirTo(dle_, std::string("/proc\0", 6), 6), GRFS_RC_CHANGE_DIR_FAILED);
    EXPECT_EQ(ChangeDirTo(dle_, ".."), GRFS_RC_CHANGE_DIR_FAILED);
    EXPECT_EQ(ChangeDirTo(dle_, "usr/../.."), GRFS_RC_CHANGE_DIR_FAILED);
    EXPECT_EQ(ChangeDirTo(dle_, "out"), GRFS_RC_CHANGE_DIR_FAILED);
    EXPECT_EQ(ChangeDirTo(dle_, "out/secret"), GRFS_RC_CHANGE_DIR_FAILED);
    EXPECT_EQ(ChangeDirTo(dle_, "inner/local"), GRFS_RC_CHANGE_DIR_FAILED);
    EXPECT_STREQ(Current(), "usr");
    EXPECT_EQ(ChangeDirTo(0x00770001, "usr"), GRFS_RC_BAD_DLE_HANDLE);
    EXPECT_EQ(ChangeDirTo(ws_id_, "usr"), GRFS_RC_BAD_DLE_HANDLE);
}

TEST_F(ChangeDirectory, LinksAreFollowedWithFollowSymdirs) {
    ws_cntl.follow_symdirs = 1;
    EXPECT_EQ(ChangeDirTo(dle_, "inner/local"), 0);
    EXPECT_STREQ(Current(), "inner/local");
    // A link that leads out of the export is followed only where the server
    // cannot write (and so cannot have made the link itself).
    EXPECT_EQ(ChangeDirTo(dle_, "out/secret"), GRFS_RC_CHANGE_DIR_FAILED);
    EXPECT_STREQ(Current(), "inner/local");
    LookupDrvdle(&ses_, dle_)->dle->writable = 0;
    EXPECT_EQ(ChangeDirTo(dle_, "out/secret"), 0);
    EXPECT_EQ(ChangeDirTo(dle_, "out/../.."), GRFS_RC_CHANGE_DIR_FAILED);  // ".." never
    EXPECT_STREQ(Current(), "out/secret");
}

// ---- server information ----

TEST_F(AttachHandler, GetInfoReportsTheClockIn256Bytes) {
    auto req = NewMessage(GRFS_GET_INFO, 9);
    req->body.get_info.reserved1 = 0xFFFFFFFF;
    std::memset(reply_.get(), 0xEE, sizeof(GRFS_MESSAGE));
    time_t before = time(nullptr);
    EXPECT_EQ(GetInfo(&ses_, req.get()), 0);
    EXPECT_EQ(reply_->hdr.msg_type, GRFS_GET_INFO_STAT);
    EXPECT_EQ(reply_->hdr.retcode, 0);
    EXPECT_EQ(reply_->hdr.request_id, 9u);
    EXPECT_EQ(sent_.last_body_size, 256);
    const GRFS_GET_INFO_STAT_BODY& info = reply_->body.get_info_stat;
    EXPECT_EQ(info.ver, 1u);
    EXPECT_EQ(info.len, 40u);
    struct tm utc {};
    gmtime_r(&before, &utc);
    EXPECT_EQ(info.universal_time.date_valid, 1);
    EXPECT_EQ(info.universal_time.year, utc.tm_year + 1900);
    EXPECT_EQ(info.local_time.date_valid, 1);
    for (char c : info.info_reserved) ASSERT_EQ(c, 0);
}

}  // namespace
}  // namespace find_test
