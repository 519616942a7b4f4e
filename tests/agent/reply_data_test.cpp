// Bulk reply data handed to SendMessage by reference: the bytes travel from
// where they lie (the read-ahead buffer) behind the header and fields, in
// one message byte for byte equal to a reply with the data copied in.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "agent/session_process.h"
#include "agent_test_support.h"
#include "grfs/messages.h"
#include "grfs/xdr.h"
#include "session_test_support.h"
#include "unixfs/session/grfs_session.h"

namespace {

using agent_test::LinkedSession;

constexpr uint32_t kStan = 0x4E415453;

std::vector<unsigned char> Pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 131 + seed) >> 3);
    return v;
}

// A large read reply with n data bytes; the record's own data array holds
// stale bytes.
GRFS_MESSAGE* ReadReply(GRFS_SESSION* ses, uint32_t id, uint32_t n, int16_t retcode) {
    GRFS_MESSAGE* reply = StartReply(ses, id, GRFS_READ_OBJ_LARGE_STAT);
    reply->hdr.retcode = retcode;
    auto& b = reply->body.read_obj_large_stat;
    b.size = n;
    b.blk_size = 1;
    b.stream_info = GRFS_STREAM_INFO{kStan, 0, 0, UINT64{0x12345, 0}};
    std::memset(b.data, 0xEE, sizeof b.data);
    return reply;
}

// The same reply as the wire carries it when the data is in the record:
// NRL header, then the encoded message.
std::vector<unsigned char> Expected(GRFS_MESSAGE* reply, const std::vector<unsigned char>& data) {
    auto copy = std::make_unique<GRFS_MESSAGE>(*reply);
    std::memcpy(copy->body.read_obj_large_stat.data, data.data(), data.size());
    std::vector<unsigned char> out(4 + GRFS_MAX_MSG_SIZE + 100);
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&xdr, out.data() + 4, GRFS_MAX_MSG_SIZE + 100);
    const int body = grfs_xdr_message(&xdr, copy.get(), 24 + static_cast<int>(data.size()));
    const size_t total = GRFS_MSG_HEADER_SIZE + static_cast<size_t>(body);
    out[0] = 0;
    out[1] = 0;
    out[2] = static_cast<unsigned char>(total & 0xFF);
    out[3] = static_cast<unsigned char>(total >> 8);
    out.resize(4 + total);
    return out;
}

class ReplyDataTest : public ::testing::Test {
protected:
    void SetUp() override { agent_test::reset_workstation(); }
    void TearDown() override { agent_test::reset_workstation(); }
};

TEST_F(ReplyDataTest, BulkDataGoesOutFromWhereItLiesWithoutACopy) {
    LinkedSession link;
    ASSERT_TRUE(AllocateSessionBuffers(link.ses()));
    for (uint32_t n : {31744u, 1u, 4096u}) {
        SCOPED_TRACE(n);
        const auto data = Pattern(n, n);
        GRFS_MESSAGE* reply = ReadReply(link.ses(), 0xA0B0C0D0 + n, n, n == 1 ? GRFS_RC_END_OF_DATA : 0);
        SetReplyData(link.ses(), reply->body.read_obj_large_stat.data, data.data(), n);
        const auto expected = Expected(reply, data);
        ASSERT_EQ(SendMessage(link.ses(), reply, 24 + static_cast<int>(n)), 0);
        EXPECT_EQ(link.read_reply(), expected);
        // Nothing was copied into the record.
        EXPECT_EQ(static_cast<unsigned char>(reply->body.read_obj_large_stat.data[0]), 0xEE);
    }
    // The reference is for one reply only: the next one sends its record.
    GRFS_MESSAGE* plain = ReadReply(link.ses(), 7, 3, 0);
    std::memcpy(plain->body.read_obj_large_stat.data, "abc", 3);
    ASSERT_EQ(SendMessage(link.ses(), plain, 27), 0);
    const auto got = link.read_reply();
    ASSERT_EQ(got.size(), 4u + 8 + 24 + 3);
    EXPECT_EQ(std::vector<unsigned char>(got.end() - 3, got.end()), (std::vector<unsigned char>{'a', 'b', 'c'}));
    CleanupSessionResources(link.ses());
    FreeSessionBuffers(link.ses());
}

std::vector<unsigned char> sunk;
int Sink(GRFS_SESSION*, std::span<const unsigned char> encoded) {
    sunk.assign(encoded.begin(), encoded.end());
    return 0;
}

TEST_F(ReplyDataTest, ReplyNotForTheNetworkIsMadeWholeInTheRecord) {
    GRFS_SESSION ses{};
    auto reply_record = std::make_unique<GRFS_MESSAGE>();
    ses.reply = reply_record.get();
    const auto data = Pattern(500, 9);

    // No session at all.
    GRFS_MESSAGE* reply = ReadReply(&ses, 1, 500, 0);
    SetReplyData(&ses, reply->body.read_obj_large_stat.data, data.data(), 500);
    EXPECT_EQ(SendMessage(&ses, reply, 524), 0);
    EXPECT_EQ(std::memcmp(reply->body.read_obj_large_stat.data, data.data(), 500), 0);

    // A sink sees the same bytes as the wire would.
    ses.reply_sink = Sink;
    reply = ReadReply(&ses, 2, 500, 0);
    SetReplyData(&ses, reply->body.read_obj_large_stat.data, data.data(), 500);
    const auto expected = Expected(reply, data);
    EXPECT_EQ(SendMessage(&ses, reply, 524), 0);
    EXPECT_EQ(sunk, std::vector<unsigned char>(expected.begin() + 4, expected.end()));
}

}  // namespace
