// The advertisement message and the advertisement process, received by a
// test listener on a private loopback address at the advertisement port.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "nrl/advertise.h"
#include "nrl/nrl.h"
#include "nrl/nrl_function_table.h"
#include "nrl/tli.h"
#include "nrl_test_support.h"
#include "util/alloc.h"

using namespace nrltest;
using Clock = std::chrono::steady_clock;

namespace {

int never_called(NRL_RESOURCE*, NRL_SESSION*, unsigned char*, unsigned char**, NRLDeallocNotify*) { return 1; }

// A listener on the advertisement port of a loopback address no other test
// uses; the address goes into *dotted.
int AdvertListener(int first, std::string* dotted) {
    for (int i = first; i < first + 20; ++i) {
        std::string address = "127.41." + std::to_string(i) + ".1";
        int fd = ListenOn(address.c_str(), AdvertisementPort());
        if (fd >= 0) {
            *dotted = address;
            return fd;
        }
    }
    return -1;
}

// Accepts one connection within timeout_ms and returns all it sent.
bool ReceiveAdvert(int lfd, int timeout_ms, std::vector<unsigned char>* bytes, uint16_t* peer_port = nullptr) {
    if (!Readable(lfd, timeout_ms)) return false;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept(lfd, reinterpret_cast<sockaddr*>(&peer), &len);
    if (fd < 0) return false;
    *bytes = ReadAll(fd);
    if (peer_port != nullptr) *peer_port = ntohs(peer.sin_port);
    close(fd);
    return true;
}

// Seconds of processor time a process has used so far.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    long utime = 0;
    long stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stol(f);
        if (i == 15) stime = std::stol(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class Advertiser : public ::testing::Test {
protected:
    NRL_DEF def{};
    NRL_RECEIVER receiver{};
    std::string receiver_name;
    NRL_RESOURCE* resource = nullptr;
    int lfd = -1;

    void SetUp() override {
        def.cli_sig = SIGUSR1;
        def.transport = "tcp";
        def.service = "grfs";
        InitQueue(&def.receivers);
        def.max_remote_buffers = 10;
        def.error_stream = stderr;
        inet_pton(AF_INET, "127.0.0.1", &def.force_address);
        resource = static_cast<NRL_RESOURCE*>(MYCALLOC(1, NRLResourceSize()));
    }

    void TearDown() override {
        RemoveNRL();
        MYFREE(resource);
        if (lfd >= 0) close(lfd);
    }

    // Starts the layer advertising "2044ws" to a private listener.
    void StartAdvertising(int first_address, int32_t interval) {
        lfd = AdvertListener(first_address, &receiver_name);
        ASSERT_GE(lfd, 0) << "no free loopback address for the advertisement port";
        receiver.name = receiver_name.data();
        EnQueueElem(&def.receivers, &receiver.link, 0);
        def.adv_interval = interval;
        ASSERT_EQ(NRLInitialize(&def), NRL_SUCCESS);
        ASSERT_EQ(adv_receiver_count, 1);
        ASSERT_EQ(NRLAddResource(resource, "2044ws", 32, never_called), NRL_SUCCESS);
    }

    // Advertisements received in the next seconds.
    int CountAdverts(double seconds) {
        int count = 0;
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        std::vector<unsigned char> bytes;
        while (Clock::now() < end) {
            int left = static_cast<int>(std::chrono::duration<double, std::milli>(end - Clock::now()).count());
            if (left <= 0 || !ReceiveAdvert(lfd, left, &bytes)) break;
            if (!bytes.empty() && bytes[0] == NRL_ADVERTISE) ++count;
        }
        return count;
    }
};

}  // namespace

TEST(AdvertisementMessage, GoldenBytes) {
    unsigned char out[64];
    std::memset(out, 0xCC, sizeof out);
    ASSERT_EQ(AdvertisementLength("R", "10.0.0.5.32.0", "h"), 38u);
    ASSERT_EQ(BuildAdvertisement(out, "R", 32, "10.0.0.5.32.0", "h"), 38u);
    std::vector<unsigned char> expected = Bytes({0x02, 0x00, 0x20, 0x00, 0x20, 0x00, 'R', 0});
    for (int copy = 0; copy < 2; ++copy) {
        for (char c : std::string("10.0.0.5.32.0")) expected.push_back(static_cast<unsigned char>(c));
        expected.push_back(0);
    }
    expected.push_back('h');
    expected.push_back(0);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 38), expected);
    EXPECT_EQ(out[38], 0xCC);  // nothing written past the message
}

TEST(AdvertisementMessage, RefusesASmallBuffer) {
    unsigned char out[37];
    EXPECT_EQ(BuildAdvertisement(out, "R", 32, "10.0.0.5.32.0", "h"), 0u);
}

TEST(AdvertisementReceivers, TwentyAtMost) {
    uw_nrl_def.service = "grfs";
    uw_nrl_def.error_stream = nullptr;
    InitQueue(&uw_nrl_def.receivers);
    std::vector<NRL_RECEIVER> hosts(21);
    std::vector<std::string> names;
    for (int i = 0; i < 21; ++i) names.push_back("127.0.0." + std::to_string(i + 1));
    for (int i = 0; i < 21; ++i) {
        hosts[i].name = names[i].data();
        EnQueueElem(&uw_nrl_def.receivers, &hosts[i].link, 0);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(FindAdvertisementReceivers(), 20);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Maximum number of servers exceeded.  Will not add host:127.0.0.21\n");
    EXPECT_EQ(adv_receiver_count, 20);
    EXPECT_EQ(adv_receivers[19].len, 16u);
    sockaddr_in sin{};
    std::memcpy(&sin, adv_receivers[19].addr, sizeof sin);
    EXPECT_STREQ(inet_ntoa(sin.sin_addr), "127.0.0.20");
    EXPECT_EQ(ntohs(sin.sin_port), AdvertisementPort());
    InitQueue(&uw_nrl_def.receivers);
    EXPECT_EQ(FindAdvertisementReceivers(), 0);
}

TEST(LoopRead, EmptyNonBlockingPipeEndsAtOnce) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    uint16_t value = 0;
    EXPECT_EQ(loop_read(p[0], &value, 2), 2);
    ASSERT_EQ(write(p[1], "\x01", 1), 1);
    EXPECT_EQ(loop_read(p[0], &value, 2), 1);  // the single byte is consumed
    EXPECT_EQ(loop_read(p[0], &value, 2), 2);
    uint16_t interval = 45;
    ASSERT_EQ(write(p[1], &interval, 2), 2);
    EXPECT_EQ(loop_read(p[0], &value, 2), 0);
    EXPECT_EQ(value, 45);
    close(p[0]);
    close(p[1]);
}

TEST_F(Advertiser, SendsTheAdvertisementByteForByte) {
    StartAdvertising(1, 0);
    std::vector<unsigned char> bytes;
    uint16_t peer_port = 0;
    ASSERT_TRUE(ReceiveAdvert(lfd, 5000, &bytes, &peer_port));

    const uint16_t port = PortOf(resource->addr);
    const std::string uaddr = "127.0.0.1." + std::to_string(port / 256) + "." + std::to_string(port % 256);
    const std::string host = uw_local_host_name;
    const size_t size = 6 + 2 * uaddr.size() + host.size() + 4;
    std::vector<unsigned char> expected = Bytes({0x02, 0x00, static_cast<int>(size & 0xFF),
                                                 static_cast<int>(size >> 8), 0x20, 0x00});
    for (const std::string& text : {std::string("2044ws"), uaddr, uaddr, host}) {
        expected.insert(expected.end(), text.begin(), text.end());
        expected.push_back(0);
    }
    EXPECT_EQ(bytes, expected);
    // The advertiser binds its own endpoint from the same port counter and
    // moves past the resource's listening port.
    EXPECT_GT(peer_port, port);
}

TEST_F(Advertiser, IntervalZeroSendsAboutOneAdvertisementASecond) {
    StartAdvertising(3, 0);
    std::vector<unsigned char> first;
    ASSERT_TRUE(ReceiveAdvert(lfd, 5000, &first));
    int count = CountAdverts(3.5);
    EXPECT_GE(count, 2);
    EXPECT_LE(count, 6);

    // Refused connections: the process paces itself instead of spinning.
    close(lfd);
    lfd = -1;
    usleep(300 * 1000);
    const pid_t adv = resource->adv_pid;
    double before = CpuSeconds(adv);
    auto start = Clock::now();
    sleep(2);
    double used = CpuSeconds(adv) - before;
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(kill(adv, 0), 0);
    EXPECT_LT(used, 0.25 * elapsed);
}

TEST_F(Advertiser, TwoBytesInTheIntervalPipeSetANewInterval) {
    StartAdvertising(5, 0);
    std::vector<unsigned char> first;
    ASSERT_TRUE(ReceiveAdvert(lfd, 5000, &first));
    uint16_t interval = 3;
    ASSERT_EQ(write(resource->adv_rate_pipe[1], &interval, 2), 2);
    // The advertiser reads the pipe after each advertisement: the new
    // interval holds after the first or second one from now on, so five
    // seconds see one or two advertisements instead of about five.
    int count = CountAdverts(5.0);
    EXPECT_GE(count, 1);
    EXPECT_LE(count, 2);
}

TEST_F(Advertiser, WithoutReceiversTheProcessWaitsOnItsPipe) {
    ASSERT_EQ(NRLInitialize(&def), NRL_SUCCESS);
    EXPECT_EQ(adv_receiver_count, 0);
    ASSERT_EQ(NRLAddResource(resource, "2044ws", 32, never_called), NRL_SUCCESS);
    const pid_t adv = resource->adv_pid;
    usleep(200 * 1000);
    double before = CpuSeconds(adv);
    sleep(1);
    EXPECT_LT(CpuSeconds(adv) - before, 0.1);
    uint16_t interval = 7;
    ASSERT_EQ(write(resource->adv_rate_pipe[1], &interval, 2), 2);
    ASSERT_EQ(write(resource->adv_rate_pipe[1], &interval, 1), 1);
    usleep(200 * 1000);
    before = CpuSeconds(adv);
    usleep(500 * 1000);
    EXPECT_LT(CpuSeconds(adv) - before, 0.1);
    EXPECT_EQ(kill(adv, 0), 0);
    int status = 0;
    EXPECT_EQ(waitpid(adv, &status, WNOHANG), 0);  // still running
}
