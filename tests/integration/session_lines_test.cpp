// Every admitted session writes one console line when it starts and one
// when it ends, whatever ends it; a session killed before it could write
// its end line gets it from the listener, with the counts it had kept.
// Each session reads, deletes and restores the same file and has one
// request refused, then ends in one of the five ways. Replies a peer never
// took are not counted.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>
#include <string>
#include <vector>

#include "agent_process.h"
#include "client/peer.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "grfs/messages.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;
using agent_it::WaitUntil;

constexpr uint16_t kReasonRestore = 0x4;

enum class Ending { peer_closed, dealloc, transfer_failed, signal, idle_timeout };

TEST(SessionLines, EachSessionGetsAStartAndAnEndLineWithItsCountsHoweverItEnds) {
    AgentConfig config;
    config.extra_lines = "session_idle_timeout 2\n";
    AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());
    const std::string ready = agent.Stderr();
    const size_t ready_at = ready.find(": Vestrel Agent ready");
    ASSERT_NE(ready_at, std::string::npos);
    const size_t line_at = ready.rfind('\n', ready_at);
    const size_t name_at = line_at == std::string::npos ? 0 : line_at + 1;
    const std::string program = ready.substr(name_at, ready_at - name_at);

    const std::vector<std::pair<Ending, std::string>> cases = {
        {Ending::peer_closed, "peer_closed"},         {Ending::dealloc, "dealloc"},
        {Ending::transfer_failed, "transfer_failed"}, {Ending::signal, "signal_9"},
        {Ending::idle_timeout, "idle_timeout"},
    };
    for (const auto& [ending, word] : cases) {
        SCOPED_TRACE(word);
        std::ofstream(agent.export_dir() + "/data.bin") << std::string(70000, 'x');
        auto peer = e2e::connect_peer(agent, "DATA", kReasonRestore);
        ASSERT_TRUE(peer.ok()) << peer.error().text;
        std::vector<pid_t> sessions = agent.SessionProcesses();
        ASSERT_EQ(sessions.size(), 1u);
        const pid_t pid = sessions[0];
        const std::string who = "pid=" + std::to_string(pid) + " peer=" + e2e::local_endpoint(peer->connection().fd());

        // One object read whole (all its streams), then deleted and
        // restored with 1000 bytes; one failed request.
        auto dblk = e2e::listed(*peer, "", "data.bin");
        ASSERT_TRUE(dblk.has_value());
        auto streams = peer->read_object("", *dblk);
        ASSERT_TRUE(streams.ok()) << streams.error().text;
        size_t bytes = 0;
        for (const auto& s : *streams) bytes += s.bytes.size();
        ASSERT_GE(bytes, 70000u);
        grfs_client::Connection& c = peer->connection();
        ASSERT_EQ(e2e::replied_retcode(grfs_client::delete_object(c, peer->dle_id(), *dblk)), 0);
        ASSERT_EQ(e2e::replied_retcode(grfs_client::create_object(c, peer->dle_id(), *dblk)), 0);
        auto opened = grfs_client::open_object(c, peer->dle_id(), *dblk, GRFS_OPEN_WRITE);
        ASSERT_TRUE(opened.ok()) << opened.error().text;
        GRFS_STREAM_INFO stream{};
        stream.id = grfs_client::kStreamStandard;
        stream.size = U64_Init(1000, 0);
        const std::vector<unsigned char> data(1000, 'y');
        auto written = grfs_client::write_piece(c, opened->obj_id, 0, stream, data);
        ASSERT_TRUE(written.ok()) << written.error().text;
        ASSERT_EQ(written->consumed, 1000u);
        ASSERT_TRUE(grfs_client::close_object(c, opened->obj_id).ok());
        EXPECT_FALSE(peer->change_dir("no such directory").ok());

        const int fd = peer->connection().fd();
        switch (ending) {
            case Ending::peer_closed:
                shutdown(fd, SHUT_WR);
                break;
            case Ending::dealloc:
                peer->connection().end();
                break;
            case Ending::transfer_failed: {
                // A data message announced with 100 bytes, cut off after 10.
                const unsigned char cut[14] = {0, 0, 100, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
                ASSERT_EQ(send(fd, cut, sizeof cut, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof cut));
                shutdown(fd, SHUT_WR);
                break;
            }
            case Ending::signal:
                ASSERT_EQ(kill(pid, SIGKILL), 0);
                break;
            case Ending::idle_timeout:
                break;
        }

        const std::string start = program + ": session start " + who + "\n";
        const std::string end = program + ": session end " + who + " seconds=";
        ASSERT_TRUE(agent.WaitForStderr(end, 15000)) << agent.Stderr();
        const std::string err = agent.Stderr();
        EXPECT_EQ(e2e::occurrences(err, start), 1u) << err;
        EXPECT_EQ(e2e::occurrences(err, end), 1u) << err;
        const size_t at = err.find(end);
        EXPECT_LT(err.find(start), at);
        const std::string line = err.substr(at + end.size(), err.find('\n', at) - at - end.size());
        const std::string counts = " dles=DATA objects_read=1 bytes_read=" + std::to_string(bytes) +
                                    " objects_written=1 bytes_written=1000 objects_deleted=1 errors=1 end=" + word;
        EXPECT_TRUE(std::regex_match(line, std::regex("[0-9]+" + counts))) << line << "\nexpected" << counts;
        ASSERT_TRUE(WaitUntil([&] { return agent.SessionProcesses().empty(); }, 10000));
    }
    EXPECT_TRUE(agent.Stop().exited);
}

TEST(SessionLines, RepliesThePeerNeverTookAreNotCounted) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    constexpr int kReads = 300;
    std::ofstream(agent.export_dir() + "/big.bin") << std::string(16 << 20, 'b');
    {
        auto peer = e2e::connect_peer(agent, "DATA");
        ASSERT_TRUE(peer.ok()) << peer.error().text;
        ASSERT_TRUE(e2e::request_reads_unread(*peer, "big.bin", kReads));
        const std::string who = " peer=" + e2e::local_endpoint(peer->connection().fd()) + " ";
        // The agent sends until the connection holds no more, then the peer
        // goes, all those replies unread.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        peer->connection().end();

        ASSERT_TRUE(agent.WaitForStderr(" end=", 10000)) << agent.Stderr();
        const std::string err = agent.Stderr();
        std::smatch m;
        ASSERT_TRUE(std::regex_search(err, m, std::regex("session end pid=[0-9]+" + who + "seconds=[0-9]+ dles=DATA "
                                                         "objects_read=1 bytes_read=([0-9]+) .* end=(\\w+)\n")))
            << err;
        EXPECT_LT(std::stoull(m[1].str()), static_cast<unsigned long long>(kReads) * GRFS_OBJECT_BUFFER_SIZE) << err;
        EXPECT_EQ(m[2].str(), "transfer_failed") << err;
    }
    EXPECT_TRUE(agent.Stop().exited);
}

}  // namespace
