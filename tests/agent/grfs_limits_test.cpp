#include <gtest/gtest.h>

#include "agent/grfs_limits.h"
#include "agent_test_support.h"

namespace {

TEST(GrfsLimits, SessionsAtLeastOne) {
    Queue q;
    InitQueue(&q);
    GRFS_Set_Config_Params(4, 32512, 0, 0, 0, &q);
    EXPECT_EQ(gb_grfs_config.max_sessions, 4);
    GRFS_Set_Config_Params(0, 32512, 0, 0, 0, &q);
    EXPECT_EQ(gb_grfs_config.max_sessions, 1);
    GRFS_Set_Config_Params(-3, 32512, 0, 0, 0, &q);
    EXPECT_EQ(gb_grfs_config.max_sessions, 1);
    GRFS_Set_Config_Params(1, 32512, 0, 0, 0, &q);
    EXPECT_EQ(gb_grfs_config.max_sessions, 1);
}

TEST(GrfsLimits, ObjectBufferIsClampedTo1024Through31744) {
    Queue q;
    InitQueue(&q);
    const struct {
        int32_t given;
        uint32_t in_force;
    } cases[] = {{32512, 31744}, {31745, 31744}, {31744, 31744}, {31743, 31743}, {4096, 4096},
                 {1025, 1025},   {1024, 1024},   {1023, 1024},   {0, 1024},       {-5, 1024}};
    for (const auto& c : cases) {
        GRFS_Set_Config_Params(4, c.given, 1, 2, 3, &q);
        EXPECT_EQ(gb_grfs_config.object_buffer_size, c.in_force) << c.given;
    }
}

TEST(GrfsLimits, CopiesTheServerListHeader) {
    agent_test::reset_workstation();
    TELL_ENTRY a{}, b{};
    EnQueueElem(&ws_cntl.tell_list, &a.link, 0);
    EnQueueElem(&ws_cntl.tell_list, &b.link, 0);
    GRFS_Set_Config_Params(4, 32512, 0, 0, 0, &ws_cntl.tell_list);
    EXPECT_EQ(gb_grfs_config.tell_list.head, &a.link);
    EXPECT_EQ(gb_grfs_config.tell_list.tail, &b.link);
    EXPECT_EQ(gb_grfs_config.tell_list.count, 2);
}

TEST(GrfsLimits, TracesUnderTheirCategories) {
    Queue q;
    InitQueue(&q);
    const std::string p = std::to_string(getpid()) + ":";
    grfs_debug = DBG_PROCESS;
    {
        agent_test::StderrCapture cap;
        GRFS_Set_Config_Params(4, 32512, 0, 0, 0, &q);
        EXPECT_EQ(cap.text(), p + "max concurrent sessions is 4\n");
    }
    grfs_debug = DBG_CONFIG;
    {
        agent_test::StderrCapture cap;
        GRFS_Set_Config_Params(4, 32512, 0, 0, 0, &q);
        EXPECT_EQ(cap.text(), p + "Set_Config_Params: grfs_object_buffer_size=31744\n");
    }
    grfs_debug = 0;
}

}  // namespace
