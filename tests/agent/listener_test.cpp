// The listener's pieces that stand alone: the resource name, admission,
// the end-of-session notification and the communication failure report.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "agent/listener.h"
#include "agent_test_support.h"
#include "nrl/nrl_function_table.h"
#include "session_test_support.h"
#include "unixfs/session/grfs_session.h"

namespace {

std::string name_of(const char* workstation, bool password) {
    agent_test::reset_workstation();
    std::snprintf(ws_cntl.workstation_name, sizeof ws_cntl.workstation_name, "%s", workstation);
    ws_cntl.password_required = password ? 1 : 0;
    char out[kAgentResourceNameSize];
    size_t n = BuildResourceName(&ws_cntl, out);
    EXPECT_EQ(n, std::strlen(out));
    return out;
}

TEST(ResourceName, PrefixSaysWhetherAPasswordIsRequired) {
    EXPECT_EQ(name_of("HOST1", false), "2044HOST1");
    EXPECT_EQ(name_of("HOST1", true), "2045HOST1");
    std::string longest(35, 'W');
    EXPECT_EQ(name_of(longest.c_str(), true), "2045" + longest);
}

TEST(ResourceName, FitsTheResourceRecord) {
    EXPECT_LE(kAgentResourceNameSize - 1, kRsrcNameMax);
    char small[6];
    agent_test::reset_workstation();
    std::strcpy(ws_cntl.workstation_name, "LONGNAME");
    EXPECT_EQ(BuildResourceName(&ws_cntl, small), 5u);
    EXPECT_STREQ(small, "2044L");
}

class AdmissionTest : public ::testing::Test {
protected:
    void SetUp() override {
        agent_test::reset_workstation();
        gb_grfs_config.max_sessions = 4;
        static unsigned char reply_data[512];
        ws_cntl.alloc_reply_data = reply_data;
        NRLSetResourceApplicationPtr(link_.ses()->nrl_resource, &ws_cntl);
    }
    void TearDown() override { agent_test::reset_workstation(); }
    int ask(unsigned char** data, NRLDeallocNotify* notify) {
        unsigned char alloc[512] = {};
        return IncomingSessionRequest(link_.ses()->nrl_resource, link_.nrl(), alloc, data, notify);
    }
    agent_test::LinkedSession link_;
};

TEST_F(AdmissionTest, AdmitsBelowTheLimitWithReplyDataAndEndRoutine) {
    for (int16_t n : {0, 3}) {
        ws_cntl.num_sessions_connected = n;
        unsigned char* data = nullptr;
        NRLDeallocNotify notify = nullptr;
        EXPECT_EQ(ask(&data, &notify), 0);
        EXPECT_EQ(data, ws_cntl.alloc_reply_data);
        EXPECT_EQ(notify, &NotifySessionDealloc);
    }
}

TEST_F(AdmissionTest, RefusesAtTheLimitAndSetsNothing) {
    for (int16_t n : {4, 5}) {
        ws_cntl.num_sessions_connected = n;
        unsigned char* data = nullptr;
        NRLDeallocNotify notify = nullptr;
        EXPECT_EQ(ask(&data, &notify), 1);
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(notify, nullptr);
    }
}

TEST_F(AdmissionTest, RefusesWithoutAWorkstationRecord) {
    NRLSetResourceApplicationPtr(link_.ses()->nrl_resource, nullptr);
    unsigned char* data = nullptr;
    NRLDeallocNotify notify = nullptr;
    EXPECT_EQ(ask(&data, &notify), 1);
}

volatile sig_atomic_t usr2_count = 0;
void on_usr2(int) { usr2_count = usr2_count + 1; }

TEST(NotifySessionDeallocTest, SignalsTheListenerAndForgetsTheSession) {
    agent_test::reset_workstation();
    InitQueue(&ws_cntl.session_list);
    ws_cntl.listener_pid = static_cast<uint32_t>(getpid());
    auto saved = signal(SIGUSR2, on_usr2);
    usr2_count = 0;
    {
        agent_test::LinkedSession link;
        EnQueueElem(&ws_cntl.session_list, &link.ses()->link, 0);
        NotifySessionDealloc(link.nrl(), 0);
        EXPECT_EQ(usr2_count, 1);
        EXPECT_EQ(ws_cntl.session_list.count, 0);
        EXPECT_EQ(link.ses()->nrl_session, nullptr);

        // A session without a GRFS record is left alone.
        NRLSetSessionApplicationPtr(link.nrl(), nullptr);
        NotifySessionDealloc(link.nrl(), 0);
        EXPECT_EQ(usr2_count, 1);
    }
    signal(SIGUSR2, saved);
    agent_test::reset_workstation();
}

TEST(SendCommFailureTest, NamesEachCause) {
    const char* expected[] = {"Unknown cause.",
                              "Unable to allocate memory.",
                              "NRL initialization failed.",
                              "NRL Receive Failed.",
                              "Unable to advertise resource.  Check TCP/IP status.",
                              "Unable to fork() process.",
                              "Unknown cause."};
    const char* saved_name = prog_name;
    prog_name = "agent";
    for (int code = 0; code <= 6; ++code) {
        agent_test::StderrCapture cap;
        SendCommFailure(&ws_cntl, code);
        EXPECT_EQ(cap.text(), std::string("agent: Communication System Failure:\n") + expected[code] + "\n");
    }
    prog_name = saved_name;
}

}  // namespace
