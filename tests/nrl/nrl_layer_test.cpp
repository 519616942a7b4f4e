// The layer as the listener drives it: the function table, initialisation,
// resources, the remote-resource list and a session opened over loopback TCP.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "nrl/advertise.h"
#include "nrl/nrl.h"
#include "nrl/nrl_function_table.h"
#include "nrl/nrl_session.h"
#include "nrl/tli.h"
#include "nrl_test_support.h"
#include "util/alloc.h"
#include "util/signal_guard.h"

using namespace nrltest;

namespace {

unsigned char reply_data[kAllocDataSize];
int notify_calls = 0;
int notify_result = 0;
unsigned char seen_alloc_data[kAllocDataSize];
std::vector<NRL_SESSION*> dealloc_seen;

void on_dealloc(NRL_SESSION* session, uint16_t) { dealloc_seen.push_back(session); }

int accept_session(NRL_RESOURCE*, NRL_SESSION*, unsigned char* alloc_data, unsigned char** reply,
                   NRLDeallocNotify* dealloc) {
    ++notify_calls;
    std::memcpy(seen_alloc_data, alloc_data, kAllocDataSize);
    if (notify_result != 0) return notify_result;
    *reply = reply_data;
    *dealloc = on_dealloc;
    return 0;
}

NRL_DEF LocalDef() {
    NRL_DEF def{};
    def.cli_sig = SIGUSR1;
    def.transport = "tcp";
    def.service = "grfs";
    InitQueue(&def.receivers);
    def.max_remote_buffers = 10;
    def.error_stream = stderr;
    def.adv_interval = 0;
    def.app_name = "ws";
    inet_pton(AF_INET, "127.0.0.1", &def.force_address);
    return def;
}

class NrlLayer : public ::testing::Test {
protected:
    const NRL_FUNC_TABLE* table = nullptr;
    void SetUp() override {
        notify_calls = 0;
        notify_result = 0;
        dealloc_seen.clear();
        table = NRLGetFunctionTablePtr();
    }
    void TearDown() override { table->RemoveNRL(); }
};

}  // namespace

TEST(NrlFunctionTable, HeaderWordsAndEntryOrder) {
    const NRL_FUNC_TABLE* t = NRLGetFunctionTablePtr();
    EXPECT_EQ(t, &tli_nrl_function_table);
    EXPECT_EQ(gb_NRL_function_table_ptr, t);
    EXPECT_EQ(std::memcmp(t->tag, "NRL TABLE\0\0\0", 12), 0);
    EXPECT_EQ(t->version, 0x10000u);
    EXPECT_EQ(t->reserved, 0u);
    EXPECT_EQ(t->NRLInitialize, &NRLInitialize);
    EXPECT_EQ(t->RemoveNRL, &RemoveNRL);
    EXPECT_EQ(t->NRLAddResource, &NRLAddResource);
    EXPECT_EQ(t->NRLRemoveResource, &NRLRemoveResource);
    EXPECT_EQ(t->NRLDeAllocSession, &NRLDeAllocSession);
    EXPECT_EQ(t->NRLSendMessage, &NRLSendMessage);
    EXPECT_EQ(t->NRLReceiveMessage, &NRLReceiveMessage);
    EXPECT_EQ(t->NRLIsRemoteRsrcAlsoLocal, &NRLIsRemoteRsrcAlsoLocal);

    // Every unsupported word answers 65535.
    EXPECT_EQ(t->unsupported_12(), 65535);
    EXPECT_EQ(t->unsupported_21(), 65535);
    for (auto entry : t->unsupported_28_40) EXPECT_EQ(entry(), 65535);
    EXPECT_EQ(t->NRLResourceSize(), sizeof(NRL_RESOURCE));
    EXPECT_EQ(t->NRLSessionSize(), sizeof(NRL_SESSION));

    EXPECT_EQ(NRLRemove(), 0);
    EXPECT_EQ(gb_NRL_function_table_ptr, nullptr);
}

TEST_F(NrlLayer, InitializeWithNullStillLearnsTheHostName) {
    std::memset(uw_local_host_name, 0, sizeof uw_local_host_name);
    EXPECT_EQ(table->NRLInitialize(nullptr), INVALID_PARAM);
    char expected[kLocalHostNameSize] = {};
    gethostname(expected, sizeof expected);
    EXPECT_STREQ(uw_local_host_name, expected);
}

TEST_F(NrlLayer, InitializeWithoutReceiversSetsUpTheLayer) {
    NRL_DEF def = LocalDef();
    ASSERT_EQ(table->NRLInitialize(&def), NRL_SUCCESS);
    EXPECT_EQ(GetCliSig(), SIGUSR1);
    EXPECT_EQ(uw_nrl_state.owner_pid, getpid());
    EXPECT_STREQ(uw_nrl_state.tli_device, "/dev/tcp");
    EXPECT_EQ(uw_nrl_state.local_resources.count, 0);
    EXPECT_GT(uw_nrl_state.nrl_pipe[0], 0);
    EXPECT_NE(fcntl(uw_nrl_state.nrl_pipe[0], F_GETFL) & O_NONBLOCK, 0);
    table->RemoveNRL();
    EXPECT_EQ(GetCliSig(), 0);
    EXPECT_EQ(uw_nrl_state.nrl_pipe[0], -1);
}

// A name server that is down at start must not keep the agent down: the
// host is reported and kept, to be looked up again by the advertiser.
TEST_F(NrlLayer, InitializeKeepsAReceiverThatDoesNotResolve) {
    NRL_DEF def = LocalDef();
    char* text = nullptr;
    size_t size = 0;
    FILE* errors = open_memstream(&text, &size);
    def.error_stream = errors;
    NRL_RECEIVER bad{};
    bad.name = const_cast<char*>("bad host!");
    EnQueueElem(&def.receivers, &bad.link, 0);
    EXPECT_EQ(table->NRLInitialize(&def), NRL_SUCCESS);
    EXPECT_EQ(adv_receiver_count, 1);
    EXPECT_EQ(adv_receivers[0].addr, nullptr);
    EXPECT_STREQ(adv_receivers[0].host, "bad host!");
    table->RemoveNRL();
    std::fflush(errors);
    std::string written(text, size);
    EXPECT_NE(written.find("NRLInit: net/service address not found for bad host!/grfs\n"), std::string::npos);
    uw_nrl_def.error_stream = nullptr;
    std::fclose(errors);
    std::free(text);
}

TEST_F(NrlLayer, AddResourceWithoutNotifyOpensNothing) {
    NRL_DEF def = LocalDef();
    ASSERT_EQ(table->NRLInitialize(&def), NRL_SUCCESS);
    auto* r = static_cast<NRL_RESOURCE*>(MYCALLOC(1, table->NRLResourceSize()));
    int probe = dup(0);
    close(probe);
    EXPECT_EQ(table->NRLAddResource(r, "x", 32, nullptr), INVALID_PARAM);
    int after = dup(0);
    EXPECT_EQ(after, probe);  // no descriptor was left open
    close(after);
    EXPECT_EQ(uw_nrl_state.local_resources.count, 0);
    MYFREE(r);
}

TEST_F(NrlLayer, AddResourceBindsListensAndStartsTheAdvertiser) {
    NRL_DEF def = LocalDef();
    ASSERT_EQ(table->NRLInitialize(&def), NRL_SUCCESS);
    tli_bind_port = kFirstBindPort;
    auto* r = static_cast<NRL_RESOURCE*>(MYCALLOC(1, table->NRLResourceSize()));
    const std::string name(50, 'n');
    ASSERT_EQ(table->NRLAddResource(r, name.c_str(), 32, accept_session), NRL_SUCCESS);
    EXPECT_EQ(std::string(table->NRLRsrcName(r)), std::string(41, 'n'));
    EXPECT_EQ(table->NRLRsrcType(r), 32);
    EXPECT_EQ(table->NRLRsrcLocal(r), 1);
    EXPECT_EQ(r->addr_len, 16);
    EXPECT_EQ(r->addr, r->bind->addr.buf);
    EXPECT_EQ(r->bind->qlen, 10u);
    const uint16_t port = PortOf(r->addr);
    EXPECT_GE(port, 8192);
    EXPECT_EQ(LocalPort(r->tlifd), port);
    EXPECT_EQ(Id2Resource(r->tlifd), r);
    EXPECT_EQ(uw_nrl_state.local_resources.count, 1);
    EXPECT_GT(r->adv_pid, 0);
    EXPECT_EQ(kill(r->adv_pid, 0), 0);
    EXPECT_EQ(r->adv_rate_pipe[0], -1);  // the advertiser holds the read end
    EXPECT_GT(r->adv_rate_pipe[1], 0);

    int marker = 0;
    table->NRLSetResourceApplicationPtr(r, &marker);
    EXPECT_EQ(table->NRLGetResourceApplicationPtr(r), &marker);

    const pid_t adv = r->adv_pid;
    EXPECT_EQ(table->NRLRemoveResource(r), 0);
    EXPECT_EQ(r->adv_pid, -1);
    EXPECT_EQ(uw_nrl_state.local_resources.count, 0);
    int status = 0;
    ASSERT_EQ(waitpid(adv, &status, 0), adv);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_EQ(ConnectTo("127.0.0.1", port), -1);
    MYFREE(r);
}

TEST_F(NrlLayer, RemoteResourceBuffers) {
    NRL_DEF def = LocalDef();
    ASSERT_EQ(table->NRLInitialize(&def), NRL_SUCCESS);
    NRL_RESOURCE buffers[3];
    for (uint16_t i = 0; i < 3; ++i) EXPECT_EQ(table->NRLAddRemoteResourceBuffer(&buffers[i], i + 7), 1);
    EXPECT_EQ(buffers[1].kind, RSRC_FREE_BUFFER);
    EXPECT_EQ(buffers[1].buffer_id, 8);
    EXPECT_EQ(table->NRLAvailResourceBufferSlots(), 7);
    EXPECT_EQ(table->NRLUnUsedResourceBuffers(), 3);

    uint32_t index = 0;
    EXPECT_EQ(table->NRLScanResourceList(&index), nullptr);
    EXPECT_EQ(index, 1u);
    buffers[2].kind = RSRC_REMOTE;
    index = 0;
    EXPECT_EQ(table->NRLScanResourceList(&index), &buffers[2]);
    EXPECT_EQ(table->NRLScanResourceList(&index), nullptr);
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(table->NRLUnUsedResourceBuffers(), 2);

    EXPECT_EQ(table->NRLRemoveRemoteResourceBuffer(&buffers[2]), 0);
    EXPECT_EQ(buffers[2].remote_state, RSRC_REMOVED);
    EXPECT_EQ(table->NRLRemoveRemoteResourceBuffer(&buffers[2]), INVALID_PARAM);
    EXPECT_EQ(table->NRLAvailResourceBufferSlots(), 8);
    table->NRLRemoveRemoteResourceBuffer(&buffers[0]);
    table->NRLRemoveRemoteResourceBuffer(&buffers[1]);
    EXPECT_EQ(uw_nrl_state.remote_resources.count, 0);
}

TEST(NrlAccessors, LockCountNeverGoesBelowZero) {
    NRL_RESOURCE r{};
    NRLUnlockResource(&r);
    EXPECT_EQ(r.lock_cnt, 0);
    NRLLockResource(&r);
    NRLLockResource(&r);
    NRLUnlockResource(&r);
    EXPECT_EQ(r.lock_cnt, 1);
    r.also_local = -2;
    EXPECT_EQ(NRLIsRemoteRsrcAlsoLocal(&r), -2);
    r.kind = RSRC_REMOTE;
    EXPECT_EQ(NRLRsrcLocal(&r), 0);
}

// The listener's part of a session: accept, session-open exchange, the
// session record, then framed messages both ways over loopback TCP.
TEST_F(NrlLayer, SessionOverLoopbackTcp) {
    NRL_DEF def = LocalDef();
    ASSERT_EQ(table->NRLInitialize(&def), NRL_SUCCESS);
    auto* r = static_cast<NRL_RESOURCE*>(MYCALLOC(1, table->NRLResourceSize()));
    ASSERT_EQ(table->NRLAddResource(r, "2044ws", 32, accept_session), NRL_SUCCESS);
    for (size_t i = 0; i < kAllocDataSize; ++i) reply_data[i] = static_cast<unsigned char>(i ^ 0x5A);

    int client = ConnectTo("127.0.0.1", PortOf(r->addr));
    ASSERT_GE(client, 0);
    std::vector<unsigned char> request(kSessionOpenRequestSize);
    request[0] = 0x42;
    for (size_t i = 1; i < request.size(); ++i) request[i] = static_cast<unsigned char>(i);
    ASSERT_EQ(write(client, request.data(), request.size()), static_cast<ssize_t>(request.size()));

    ASSERT_EQ(t_listen_v(r->tlifd), 0);
    int fd = t_open_and_accept_v(r->tlifd, r->call);
    ASSERT_GE(fd, 0);
    unsigned char type = 0;
    unsigned char alloc_data[kAllocDataSize];
    ASSERT_EQ(loop_t_rcv(fd, &type, 1), 0u);
    ASSERT_EQ(loop_t_rcv(fd, alloc_data, sizeof alloc_data), 0u);
    auto* s = static_cast<NRL_SESSION*>(MYCALLOC(1, table->NRLSessionSize()));
    s->resource = r;
    s->tlifd = fd;
    s->max_tsnd = static_cast<uint32_t>(MaxTLISend(fd));
    EnQueueElem(&r->sessions, &s->link, 0);
    unsigned char* reply = nullptr;
    int status = r->notify(r, s, alloc_data, &reply, &s->dealloc_notify);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::memcmp(seen_alloc_data, request.data() + 1, kAllocDataSize), 0);
    unsigned char wire[kSessionOpenReplySize];
    BuildSessionOpenReply(status, reply, wire);
    ASSERT_EQ(loop_t_snd(fd, wire, sizeof wire, s->max_tsnd), 0u);

    std::vector<unsigned char> got(kSessionOpenReplySize);
    ASSERT_EQ(loop_t_rcv(client, got.data(), got.size()), 0u);
    EXPECT_EQ(got[0], 0);
    EXPECT_EQ(got[1], 0);
    EXPECT_EQ(std::memcmp(got.data() + 2, reply_data, kAllocDataSize), 0);

    // One request and its answer.
    ASSERT_EQ(write(client, "\x00\x00\x05\x00hello", 9), 9);
    unsigned char buf[512];
    ASSERT_EQ(table->NRLReceiveMessage(s, buf, sizeof buf, 0, nullptr), NRL_SUCCESS);
    EXPECT_EQ(std::memcmp(buf, "hello", 5), 0);
    ASSERT_EQ(table->NRLSendMessage(s, 0, "world!", 6, nullptr), NRL_SUCCESS);
    unsigned char answer[10];
    ASSERT_EQ(loop_t_rcv(client, answer, sizeof answer), 0u);
    EXPECT_EQ(std::memcmp(answer, "\x00\x00\x06\x00world!", 10), 0);

    // A peer that vanishes makes sends fail without killing this process.
    close(client);
    uint16_t rc = NRL_SUCCESS;
    std::vector<unsigned char> big(60000, 'x');
    for (int i = 0; i < 50 && rc == NRL_SUCCESS; ++i) {
        rc = table->NRLSendMessage(s, 0, big.data(), static_cast<uint16_t>(big.size()), nullptr);
        usleep(10 * 1000);
    }
    EXPECT_EQ(rc, COMM_FAILURE);

    // Removing the resource kills the session and notifies its end.
    EXPECT_EQ(table->NRLRemoveResource(r), 0);
    ASSERT_EQ(dealloc_seen.size(), 1u);
    EXPECT_EQ(dealloc_seen[0], s);
    MYFREE(r);
}

TEST_F(NrlLayer, RemoveNRLRemovesEveryResourceAndWaitsForChildren) {
    NRL_DEF def = LocalDef();
    ASSERT_EQ(table->NRLInitialize(&def), NRL_SUCCESS);
    NRL_RESOURCE* r[2];
    for (auto& res : r) {
        res = static_cast<NRL_RESOURCE*>(MYCALLOC(1, table->NRLResourceSize()));
        ASSERT_EQ(table->NRLAddResource(res, "r", 32, accept_session), NRL_SUCCESS);
    }
    EXPECT_NE(PortOf(r[0]->addr), PortOf(r[1]->addr));
    EXPECT_EQ(table->RemoveNRL(), 0);
    EXPECT_EQ(uw_nrl_state.local_resources.count, 0);
    // Both advertisers were killed and reaped.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    for (auto* res : r) MYFREE(res);
}

// A daemon started without standard input gets descriptor 0 for its
// listening endpoint; that is a working endpoint, not a failure.
TEST_F(NrlLayer, ResourceOnDescriptorZero) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        NRL_DEF def = LocalDef();
        def.error_stream = nullptr;
        if (NRLInitialize(&def) != NRL_SUCCESS) _exit(2);
        close(0);
        auto* r = static_cast<NRL_RESOURCE*>(MYCALLOC(1, NRLResourceSize()));
        uint16_t rc = NRLAddResource(r, "r", 32, accept_session);
        int code = rc != NRL_SUCCESS ? 3 : r->tlifd != 0 ? 4 : 0;
        if (code == 0) {
            int client = ConnectTo("127.0.0.1", PortOf(r->addr));
            if (client < 0 || t_listen_v(r->tlifd) != 0) code = 5;
            if (client >= 0) close(client);
        }
        RemoveNRL();
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
