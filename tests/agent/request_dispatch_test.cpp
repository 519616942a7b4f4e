// Decoding and dispatch of received requests, with replies captured through
// the session's reply sink: the verify confirmations, requests that get no
// reply, and requests that never reach their handler because they did not
// arrive whole.
#include <gtest/gtest.h>

#include <vector>

#include "agent/request_dispatch.h"
#include "agent/session_process.h"
#include "agent_test_support.h"
#include "grfs/messages.h"
#include "session_test_support.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/handle_table.h"

namespace {

using agent_test::Bytes;
using agent_test::RawRequest;
using agent_test::VerifyLargeRequest;
using agent_test::VerifyRequest;

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        agent_test::reset_workstation();
        ses_.ws = &ws_cntl;
        ses_.max_msg_size = GRFS_MAX_MSG_SIZE;
        InitQueue(&ses_.attach_list);
        InitQueue(&ses_.object_list);
        ses_.reply_sink = &DispatchTest::sink;
        ses_.sink_context = this;
        ASSERT_TRUE(AllocateSessionBuffers(&ses_));
    }
    void TearDown() override {
        CleanupSessionResources(&ses_);
        FreeSessionBuffers(&ses_);
        agent_test::reset_workstation();
    }
    static int sink(GRFS_SESSION* ses, std::span<const unsigned char> encoded) {
        auto* self = static_cast<DispatchTest*>(ses->sink_context);
        self->replies_.emplace_back(encoded.begin(), encoded.end());
        return self->sink_result_;
    }
    void process(std::vector<unsigned char> request) {
        // The receive buffer holds exactly what arrived.
        std::copy(request.begin(), request.end(), ses_.recv_buf);
        ProcessGRFSMsg(&ses_, ses_.recv_buf, static_cast<int>(request.size()));
    }

    GRFS_SESSION ses_{};
    std::vector<std::vector<unsigned char>> replies_;
    int sink_result_ = 0;
};

TEST_F(DispatchTest, VerifyIsConfirmedWithItsSizeAndBlockSizeOne) {
    process(VerifyRequest(0x11223344, 0x0304, 0x0304));
    ASSERT_EQ(replies_.size(), 1u);
    EXPECT_EQ(replies_[0], Bytes({0x4D, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0x04, 0x03, 0x01, 0x00}));
}

TEST_F(DispatchTest, VerifyWithoutDataIsConfirmedToo) {
    process(VerifyRequest(7, 0, 0));
    ASSERT_EQ(replies_.size(), 1u);
    EXPECT_EQ(replies_[0], Bytes({0x4D, 0, 0, 0, 7, 0, 0, 0, 0, 0, 1, 0}));
}

TEST_F(DispatchTest, LargeVerifyIsConfirmedWith32BitFields) {
    process(VerifyLargeRequest(0xA1B2C3D4, 5000, 5000));
    ASSERT_EQ(replies_.size(), 1u);
    EXPECT_EQ(replies_[0], Bytes({0x5C, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1, 0x88, 0x13, 0, 0, 1, 0, 0, 0}));
}

TEST_F(DispatchTest, TypesWithoutHandlerGetNoReply) {
    for (int type : {0, 21, 22, 23, 30, 63, 64, 77, 92, 255}) {
        process(RawRequest(static_cast<uint8_t>(type), 5, std::vector<unsigned char>(40, 0)));
        EXPECT_TRUE(replies_.empty()) << "type " << type;
    }
    // An empty message (what the layer reports for other NRL message types).
    ProcessGRFSMsg(&ses_, ses_.recv_buf, 0);
    EXPECT_TRUE(replies_.empty());
    // The session goes on.
    process(VerifyRequest(9, 1, 1));
    EXPECT_EQ(replies_.size(), 1u);
}

TEST_F(DispatchTest, VerifyCarryingLessDataThanItsSizeIsConfirmedAllTheSame) {
    // The data is never read: the size is echoed.
    process(VerifyRequest(0x01020304, 10, 3));
    process(VerifyLargeRequest(0x0A0B0C0D, 70000, 10));
    process(VerifyRequest(0x05, 0xFFFF, 0));
    ASSERT_EQ(replies_.size(), 3u);
    EXPECT_EQ(replies_[0], Bytes({0x4D, 0, 0, 0, 0x04, 0x03, 0x02, 0x01, 10, 0, 1, 0}));
    EXPECT_EQ(replies_[1], Bytes({0x5C, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A, 0x70, 0x11, 0x01, 0, 1, 0, 0, 0}));
    EXPECT_EQ(replies_[2], Bytes({0x4D, 0, 0, 0, 0x05, 0, 0, 0, 0xFF, 0xFF, 1, 0}));
}

TEST_F(DispatchTest, IncompleteRequestIsAnsweredMinus495WithAHeaderOnly) {
    // -495 is 0xFE11. The verify requests: cut inside their size field.
    std::vector<unsigned char> verify = VerifyRequest(0x01020304, 10, 3);
    verify.resize(8 + 25);
    process(verify);
    std::vector<unsigned char> large = VerifyLargeRequest(0x0A0B0C0D, 70000, 10);
    large.resize(8 + 31);
    process(large);
    process(RawRequest(GRFS_ATTACH_DLE, 0x55, std::vector<unsigned char>(20, 0)));
    process(RawRequest(GRFS_FIND_NEXT_DLE, 0x66, {1, 2}));
    process(RawRequest(GRFS_FIND_NEXT_OBJ, 0x77, {1, 2, 3, 4}));
    process(RawRequest(GRFS_READ_OBJ, 0x88, {}));
    ASSERT_EQ(replies_.size(), 6u);
    EXPECT_EQ(replies_[0], Bytes({0x4D, 0, 0x11, 0xFE, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(replies_[1], Bytes({0x5C, 0, 0x11, 0xFE, 0x0D, 0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(replies_[2], Bytes({0x41, 0, 0x11, 0xFE, 0x55, 0, 0, 0}));
    EXPECT_EQ(replies_[3], Bytes({0x42, 0, 0x11, 0xFE, 0x66, 0, 0, 0}));
    EXPECT_EQ(replies_[4], Bytes({0x45, 0, 0x11, 0xFE, 0x77, 0, 0, 0}));
    EXPECT_EQ(replies_[5], Bytes({0x4A, 0, 0x11, 0xFE, 0x88, 0, 0, 0}));
}

TEST_F(DispatchTest, RequestCutInsideItsHeaderIsAnsweredWithWhatArrived) {
    process({GRFS_VERIFY_OBJ, 0, 0, 0, 0x12});
    ASSERT_EQ(replies_.size(), 1u);
    EXPECT_EQ(replies_[0], Bytes({0x4D, 0, 0x11, 0xFE, 0, 0, 0, 0}));
}

TEST_F(DispatchTest, LengthFieldBeyondTheRecordIsAnsweredMinus495) {
    // GRFS_WRITE_OBJ claiming 40000 data bytes: more than any message holds.
    std::vector<unsigned char> body(4 + 4 + 16, 0);
    agent_test::put16(body, 40000);
    body.insert(body.end(), 100, 0x33);
    process(RawRequest(GRFS_WRITE_OBJ, 0x99, body));
    ASSERT_EQ(replies_.size(), 1u);
    EXPECT_EQ(replies_[0], Bytes({0x4B, 0, 0x11, 0xFE, 0x99, 0, 0, 0}));
}

TEST_F(DispatchTest, WholeRequestReachesItsHandler) {
    // A detach of a handle never issued: the handler answers it.
    std::vector<unsigned char> body;
    agent_test::put32(body, 0x00010001);
    process(RawRequest(GRFS_DETACH_DLE, 0x31, body));
    ASSERT_EQ(replies_.size(), 1u);
    ASSERT_GE(replies_[0].size(), 8u);
    EXPECT_EQ(replies_[0][0], GRFS_DETACH_DLE_STAT);
    EXPECT_EQ(replies_[0][4], 0x31);
    EXPECT_NE(replies_[0][2] | (replies_[0][3] << 8), 0xFE11);

    process(RawRequest(GRFS_GET_INFO, 0x32, std::vector<unsigned char>(16, 0)));
    ASSERT_EQ(replies_.size(), 2u);
    EXPECT_EQ(replies_[1][0], GRFS_GET_INFO_STAT);
    EXPECT_EQ(replies_[1][4], 0x32);
}

TEST(DispatchTable, EveryRequestWithAHandlerHasItsReplyType) {
    for (int type = 1; type <= 29; ++type) {
        uint8_t reply = DispatchReplyType(static_cast<uint8_t>(type));
        if (type >= 21 && type <= 23) {
            EXPECT_EQ(reply, 0) << type;
        } else if (type == GRFS_FIND_NEXT_DLE) {
            EXPECT_EQ(reply, GRFS_FIND_DLE_STAT);
        } else if (type == GRFS_FIND_NEXT_OBJ) {
            EXPECT_EQ(reply, GRFS_FIND_OBJ_STAT);
        } else {
            EXPECT_EQ(reply, type + GRFS_REPLY_OFFSET) << type;
        }
    }
    EXPECT_EQ(DispatchReplyType(0), 0);
    EXPECT_EQ(DispatchReplyType(30), 0);
    EXPECT_EQ(DispatchReplyType(GRFS_VERIFY_OBJ_STAT), 0);
}

}  // namespace
