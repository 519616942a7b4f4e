// Found by the session fuzz target: with tracing on, a received message whose
// length field claims a body near INT_MAX made the dispatcher's trace of the
// decoded length overflow (signed overflow, undefined behaviour; a negative
// length in the trace). fuzz_inputs/dispatch_length_overflow.bin is the
// fuzzer's input as it came (records of a control byte, a 16-bit length and
// the request, fuzz/fuzz_input.h); its last request, a reply type whose size
// field claims a body of about 1.5 GB, reached the limit with the coder as
// it then stood. The write case below reaches it with today's coder.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/request_dispatch.h"
#include "agent/session_process.h"
#include "agent_test_support.h"
#include "grfs/messages.h"
#include "unixfs/session/grfs_session.h"
#include "unixfs/session/handle_table.h"
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

TEST_F(DispatchLengthRegression, TheFuzzersInput) {
    std::ifstream in(std::string(AGENT_SOURCE_DIR) + "/tests/agent/fuzz_inputs/dispatch_length_overflow.bin",
                     std::ios::binary);
    const std::vector<unsigned char> input((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(input.size(), 5950u);
    int requests = 0;
    for (size_t at = 0; at + 3 <= input.size(); ++requests) {
        const size_t len = input[at + 1] | static_cast<size_t>(input[at + 2]) << 8;
        at += 3;
        const size_t n = std::min(len, input.size() - at);
        const std::vector<unsigned char> request(input.begin() + static_cast<long>(at),
                                                 input.begin() + static_cast<long>(at + n));
        at += n;
        const std::string trace = ProcessTraced(request);
        if (trace.find("Decoded message") == std::string::npos) continue;
        EXPECT_GE(TracedLength(trace), 0) << "request " << requests;
    }
    EXPECT_EQ(requests, 32);
}

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
