// Found by the session fuzz target: with tracing on, a received message whose
// length field claims a body near INT_MAX made the dispatcher's trace of the
// decoded length overflow (signed overflow, undefined behaviour; a negative
// length in the trace). The first request is the fuzzer's input as it came:
// a reply type (89) filled with its own type byte.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/request_dispatch.h"
#include "agent/session_process.h"
#include "agent_test_support.h"
#include "grfs/messages.h"
#include "unixfs/grfs_session.h"
#include "unixfs/handle_table.h"
#include "util/debug_print.h"

namespace {

class DispatchLengthRegression : public ::testing::Test {
protected:
    void SetUp() override {
        agent_test::reset_workstation();
        ses_.ws = &ws_cntl;
        ses_.max_msg_size = GRFS_MAX_MSG_SIZE;
        InitQueue(&ses_.attach_list);
        InitQueue(&ses_.object_list);
        ses_.reply_sink = &DispatchLengthRegression::sink;
        ses_.sink_context = this;
        ASSERT_TRUE(AllocateSessionBuffers(&ses_));
    }
    void TearDown() override {
        grfs_debug = 0;
        CleanupSessionResources(&ses_);
        FreeSessionBuffers(&ses_);
        ResetHandleTable(session_handles());
        agent_test::reset_workstation();
    }
    static int sink(GRFS_SESSION* ses, std::span<const unsigned char> encoded) {
        static_cast<DispatchLengthRegression*>(ses->sink_context)->replies_.emplace_back(encoded.begin(),
                                                                                         encoded.end());
        return 0;
    }
    // The trace of processing request with the protocol traces on.
    std::string ProcessTraced(const std::vector<unsigned char>& request) {
        std::copy(request.begin(), request.end(), ses_.recv_buf);
        grfs_debug = DBG_CONFIG;
        testing::internal::CaptureStderr();
        ProcessGRFSMsg(&ses_, ses_.recv_buf, static_cast<int>(request.size()));
        grfs_debug = 0;
        return testing::internal::GetCapturedStderr();
    }
    static long TracedLength(const std::string& trace) {
        const std::string key = "Decoded message: msg_len=";
        size_t at = trace.find(key);
        if (at == std::string::npos) return LONG_MIN;
        return std::strtol(trace.c_str() + at + key.size(), nullptr, 10);
    }

    GRFS_SESSION ses_{};
    std::vector<std::vector<unsigned char>> replies_;
};

TEST_F(DispatchLengthRegression, ReplyTypeWhoseSizeFieldClaimsAHugeBody) {
    const std::vector<unsigned char> request(1649, 0x59);
    const long traced = TracedLength(ProcessTraced(request));
    EXPECT_GE(traced, 0);
    EXPECT_LE(traced, INT_MAX);
    EXPECT_TRUE(replies_.empty());  // a reply type gets no answer
}

TEST_F(DispatchLengthRegression, WriteWhoseSizeFieldIsAllOnes) {
    // GRFS_WRITE_OBJ_LARGE: header, obj_id, offset, stream header, size.
    std::vector<unsigned char> request{GRFS_WRITE_OBJ_LARGE, 0, 0, 0, 9, 0, 0, 0};
    request.insert(request.end(), 4 + 8 + 16, 0);
    request.insert(request.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    const long traced = TracedLength(ProcessTraced(request));
    EXPECT_GE(traced, 0);
    // Refused as malformed, not handed to the handler.
    ASSERT_EQ(replies_.size(), 1u);
    EXPECT_EQ(replies_[0][0], GRFS_WRITE_OBJ_LARGE_STAT);
    EXPECT_EQ(static_cast<int16_t>(replies_[0][2] | replies_[0][3] << 8), GRFS_RC_INVALID_REQUEST);
}

}  // namespace
