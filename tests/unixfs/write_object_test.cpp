// GRFS_WRITE_OBJ and GRFS_WRITE_OBJ_LARGE into objects opened for WRITE, and
// the symbolic link made from a written EA record.
#include <gtest/gtest.h>

#include <vector>

#include "unixfs/object_write.h"
#include "restore_fixture.h"

namespace restore_test {
namespace {

class WriteTest : public RestoreFixture {
protected:
    void TearDown() override {
        for (auto& rec : records_) {
            if (rec->data_hand > 0) close(rec->data_hand);
        }
        RestoreFixture::TearDown();
    }

    // An object as a WRITE open leaves it: the file (created and truncated)
    // open for writing, an empty EA buffer of the initial size.
    FILE_MEMORY* OpenRecord(const std::string& rel, uint16_t dblktype = FDB_ID, int fd = -2,
                            uint32_t ea_room = kInitialEaSpaceSize) {
        auto rec = std::make_unique<FILE_MEMORY>();
        std::memset(rec.get(), 0, sizeof(FILE_MEMORY));
        rec->mem_kind = MEM_KIND_ALLOCATED;
        rec->marker = FILE_MEMORY_MARKER;
        rec->open_mode = OPEN_MODE_WRITE;
        rec->dblktype = dblktype;
        rec->dle = &drvdle_;
        if (fd == -2) {
            fd = dblktype == FDB_ID ? open(In(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666) : 0;
        }
        rec->data_hand = fd;
        ea_buffers_.emplace_back(ea_room);
        rec->ea_space = ea_buffers_.back().data();
        rec->ea_space_size = U64(ea_room);
        std::snprintf(rec->full_path, sizeof rec->full_path, "%s", In(rel).c_str());
        rec->file_name = std::strrchr(rec->full_path, '/') + 1;
        rec->handle = IssueHandle(session_handles(), rec.get(), HANDLE_KIND_OBJECT);
        records_.push_back(std::move(rec));
        return records_.back().get();
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
        body.offset = 0;
        std::memset(&body.stream_info, 0, sizeof body.stream_info);
        body.stream_info.id = stream;
        body.size = static_cast<uint16_t>(data.size());
        std::memcpy(body.data, data.data(), data.size());
        if (carried < 0) carried = static_cast<int>(data.size());
        std::memset(&reply_->hdr, 0xEE, sizeof reply_->hdr);
        WriteObject(session_.get(), req, 8 + 26 + carried);
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_WRITE_OBJ_STAT);
        EXPECT_EQ(reply_->hdr.request_id, 77u);
        EXPECT_EQ(session_->last_reply_size, 4);
        return reply_->hdr.retcode;
    }

    int16_t WriteLarge(uint32_t obj_id, uint32_t stream, const std::string& data, int carried = -1) {
        GRFS_MESSAGE* req = request_.get();
        std::memset(&req->hdr, 0, sizeof req->hdr);
        req->hdr.msg_type = GRFS_WRITE_OBJ_LARGE;
        req->hdr.request_id = 78;
        GRFS_WRITE_OBJ_LARGE_BODY& body = req->body.write_obj_large;
        body.obj_id = obj_id;
        body.offset = U64(0);
        std::memset(&body.stream_info, 0, sizeof body.stream_info);
        body.stream_info.id = stream;
        body.size = static_cast<uint32_t>(data.size());
        std::memcpy(body.data, data.data(), data.size());
        if (carried < 0) carried = static_cast<int>(data.size());
        std::memset(&reply_->hdr, 0xEE, sizeof reply_->hdr);
        WriteObjectLarge(session_.get(), req, 8 + 32 + carried);
        EXPECT_EQ(reply_->hdr.msg_type, GRFS_WRITE_OBJ_LARGE_STAT);
        EXPECT_EQ(reply_->hdr.request_id, 78u);
        EXPECT_EQ(session_->last_reply_size, 8);
        return reply_->hdr.retcode;
    }

    uint16_t Consumed() const { return reply_->body.write_obj_stat.size; }
    uint16_t BlkSize() const { return reply_->body.write_obj_stat.blk_size; }

    static std::string LinkRecord(const std::string& name, const std::string& target) {
        const uint32_t length = static_cast<uint32_t>(4 + name.size() + 1 + target.size() + 1);
        std::string record(reinterpret_cast<const char*>(&length), 4);
        record += name;
        record += '\0';
        record += target;
        record += '\0';
        return record;
    }

    std::vector<std::unique_ptr<FILE_MEMORY>> records_;
    std::vector<std::vector<unsigned char>> ea_buffers_;
};

TEST_F(WriteTest, DataStreamArrivesInPiecesInOrder) {
    FILE_MEMORY* rec = OpenRecord("data");
    EXPECT_EQ(Write(rec->handle, STRM_STANDARD, "hello "), 0);
    EXPECT_EQ(Consumed(), 6);
    EXPECT_EQ(BlkSize(), 1);
    // Stream id 0 continues the stream in progress; the offset is not used.
    EXPECT_EQ(Write(rec->handle, 0, "world"), 0);
    EXPECT_EQ(Consumed(), 5);
    EXPECT_EQ(rec->obj_pos.lsw, 11u);
    EXPECT_EQ(rec->cur_stream.id, STRM_STANDARD);
    EXPECT_EQ(ReadText(In("data")), "hello world");
}

TEST_F(WriteTest, LargeWritesCarry32BitCounts) {
    FILE_MEMORY* rec = OpenRecord("large");
    std::string block(30000, 'x');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(WriteLarge(rec->handle, STRM_STANDARD, block), 0);
    EXPECT_EQ(reply_->body.write_obj_large_stat.size, 30000u);
    EXPECT_EQ(reply_->body.write_obj_large_stat.blk_size, 1u);
    EXPECT_EQ(WriteLarge(rec->handle, 0, block), 0);
    EXPECT_EQ(rec->obj_pos.lsw, 60000u);
    EXPECT_EQ(ReadText(In("large")), block + block);
}

TEST_F(WriteTest, UnknownHandleIsRefused) {
    FILE_MEMORY* rec = OpenRecord("h");
    EXPECT_EQ(Write(rec->handle + 0x10000, STRM_STANDARD, "abc"), GRFS_RC_BAD_OBJ_HANDLE);
    EXPECT_EQ(Consumed(), 0);
    EXPECT_EQ(WriteLarge(0, STRM_STANDARD, "abc"), GRFS_RC_BAD_OBJ_HANDLE);
    EXPECT_EQ(reply_->body.write_obj_large_stat.size, 0u);
    EXPECT_EQ(ReadText(In("h")), "");
}

TEST_F(WriteTest, SizeBeyondTheCarriedBytesWritesNothing) {
    FILE_MEMORY* rec = OpenRecord("short");
    EXPECT_EQ(Write(rec->handle, STRM_STANDARD, "0123456789", 4), GRFS_RC_INVALID_REQUEST);
    EXPECT_EQ(Consumed(), 0);
    EXPECT_EQ(WriteLarge(rec->handle, STRM_STANDARD, "0123456789", 9), GRFS_RC_INVALID_REQUEST);
    EXPECT_EQ(reply_->body.write_obj_large_stat.size, 0u);
    EXPECT_EQ(ReadText(In("short")), "");
    EXPECT_EQ(rec->obj_pos.lsw, 0u);
    // Exactly the carried bytes are accepted.
    EXPECT_EQ(Write(rec->handle, STRM_STANDARD, "0123456789", 10), 0);
    EXPECT_EQ(ReadText(In("short")), "0123456789");

    // A size larger than any request can be, whatever length is claimed.
    GRFS_MESSAGE* req = request_.get();
    req->hdr.msg_type = GRFS_WRITE_OBJ_LARGE;
    req->body.write_obj_large.obj_id = rec->handle;
    req->body.write_obj_large.stream_info.id = STRM_STANDARD;
    req->body.write_obj_large.size = 0x7FFFFFFF;
    WriteObjectLarge(session_.get(), req, 0);
    EXPECT_EQ(reply_->hdr.retcode, GRFS_RC_INVALID_REQUEST);
    EXPECT_EQ(ReadText(In("short")), "0123456789");
}

TEST_F(WriteTest, WriteToAReadDescriptorIsNoSpace) {
    WriteText(In("ro"), "keep");
    FILE_MEMORY* rec = OpenRecord("ro", FDB_ID, open(In("ro").c_str(), O_RDONLY));
    EXPECT_EQ(Write(rec->handle, STRM_STANDARD, "abc"), GRFS_RC_NO_SPACE);
    EXPECT_EQ(ReadText(In("ro")), "keep");
    EXPECT_EQ(rec->obj_pos.lsw, 0u);
}

TEST_F(WriteTest, DataForADirectoryIsConsumedAndDropped) {
    ASSERT_EQ(mkdir(In("dir").c_str(), 0755), 0);
    FILE_MEMORY* rec = OpenRecord("dir", DDB_ID);
    EXPECT_EQ(Write(rec->handle, STRM_STANDARD, "ignored bytes"), 0);
    EXPECT_EQ(Consumed(), 13);
    EXPECT_EQ(BlkSize(), 1);
    EXPECT_EQ(rec->obj_pos.lsw, 13u);
    EXPECT_EQ(rec->ea_space_pos.lsw, 0u);
    EXPECT_TRUE(S_ISDIR(Lstat(In("dir")).st_mode));
}

TEST_F(WriteTest, OtherStreamsAreConsumedAndDropped) {
    FILE_MEMORY* rec = OpenRecord("acl");
    const std::string acl(4 + 12, '\1');
    EXPECT_EQ(Write(rec->handle, STRM_SOLX86_ACL, acl), 0);
    EXPECT_EQ(Consumed(), acl.size());
    EXPECT_EQ(Write(rec->handle, STRM_SOL_ACL, acl), 0);
    EXPECT_EQ(Write(rec->handle, 0x12345678, "zz"), 0);
    EXPECT_EQ(rec->obj_pos.lsw, 2 * acl.size() + 2);
    EXPECT_EQ(ReadText(In("acl")), "");
}

TEST_F(WriteTest, EaRecordCollectsInTheEaSpace) {
    FILE_MEMORY* rec = OpenRecord("lnk", FDB_ID, -1);
    const std::string record = LinkRecord("lnk", "../outside/target");
    EXPECT_EQ(Write(rec->handle, STRM_UNIX_EA, record.substr(0, 5)), 0);
    EXPECT_EQ(Consumed(), 5);
    EXPECT_EQ(Write(rec->handle, 0, record.substr(5)), 0);
    EXPECT_EQ(Consumed(), record.size() - 5);
    EXPECT_EQ(rec->symlink_pending, 1);
    EXPECT_EQ(rec->ea_space_pos.lsw, record.size());
    EXPECT_EQ(rec->obj_pos.lsw, record.size());
    EXPECT_EQ(std::memcmp(rec->ea_space, record.data(), record.size()), 0);
    EXPECT_FALSE(Exists(In("lnk")));  // the link waits for the close
}

TEST_F(WriteTest, EaRecordLongerThanTheBufferIsRefused) {
    FILE_MEMORY* rec = OpenRecord("big", FDB_ID, -1, 32);
    // A guard byte right behind the buffer's room.
    ea_buffers_.back().resize(33);
    rec->ea_space = ea_buffers_.back().data();
    ea_buffers_.back()[32] = 0x5A;
    EXPECT_EQ(Write(rec->handle, STRM_UNIX_EA, std::string(20, 'a')), 0);
    EXPECT_EQ(Write(rec->handle, 0, std::string(13, 'b')), GRFS_RC_NO_SPACE);
    EXPECT_EQ(Consumed(), 0);
    EXPECT_EQ(rec->ea_space_pos.lsw, 20u);
    EXPECT_EQ(ea_buffers_.back()[32], 0x5A);
    EXPECT_EQ(ea_buffers_.back()[20], 0);  // nothing of the refused part stored
    // What still fits is taken.
    EXPECT_EQ(Write(rec->handle, 0, std::string(12, 'c')), 0);
    EXPECT_EQ(rec->ea_space_pos.lsw, 32u);
    EXPECT_EQ(ea_buffers_.back()[32], 0x5A);
}

}  // namespace
}  // namespace restore_test
