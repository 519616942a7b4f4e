// Refused attaches against the real agent: each is one console line naming
// the peer and the name asked for (escaped), each makes the session's next
// attach wait longer, and the tenth ends the session. Names a server sent
// reach the console escaped, and a session repeats one message at most 20
// times.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "agent_process.h"
#include "client/connection.h"
#include "client/requests.h"
#include "e2e_support.h"
#include "grfs/messages.h"
#include "hardening_support.h"

namespace {

using agent_it::AgentConfig;
using agent_it::AgentProcess;
using Clock = std::chrono::steady_clock;

grfs_client::Connection Open(const AgentProcess& agent) {
    auto c = grfs_client::Connection::open(grfs_client::Endpoint{agent.address(), agent.port()});
    EXPECT_TRUE(c.ok()) << c.error().text;
    return std::move(*c);
}

using e2e::failed_retcode;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

AgentConfig Protected() {
    AgentConfig config;
    config.password = "WSPW";
    config.export_options = "password DLEPW";
    return config;
}

TEST(AttachRefusal, EachRefusalIsReportedAndDelaysTheSessionsNextAttach) {
    AgentProcess agent(Protected());
    ASSERT_TRUE(agent.Start());
    grfs_client::Connection c = Open(agent);
    const std::string peer = e2e::local_endpoint(c.fd());

    // No refusal before it: answered at once.
    auto start = Clock::now();
    auto ws = grfs_client::attach_workstation(c, agent.workstation(), "WSPW");
    ASSERT_TRUE(ws.ok()) << ws.error().text;
    EXPECT_LT(Seconds(Clock::now() - start), 1.0);

    EXPECT_EQ(failed_retcode(grfs_client::attach_dle(c, ws->dle_id, "DATA", "GUESS")), GRFS_RC_ACCESS_DENIED);
    const auto first = Clock::now();
    EXPECT_EQ(failed_retcode(grfs_client::attach_dle(c, ws->dle_id, "DATA", "")), GRFS_RC_ACCESS_DENIED);
    const auto second = Clock::now();
    EXPECT_GE(Seconds(second - first), 0.95);
    // The right password after two refusals: answered, after its wait.
    auto dle = grfs_client::attach_dle(c, ws->dle_id, "DATA", "DLEPW");
    EXPECT_TRUE(dle.ok()) << dle.error().text;
    EXPECT_GE(Seconds(Clock::now() - second), 1.95);

    // Another session has no delay of its own; the names it sent are
    // printed escaped.
    grfs_client::Connection other = Open(agent);
    const std::string other_peer = e2e::local_endpoint(other.fd());
    auto ws2 = grfs_client::attach_workstation(other, agent.workstation(), "WSPW");
    ASSERT_TRUE(ws2.ok()) << ws2.error().text;
    start = Clock::now();
    EXPECT_EQ(failed_retcode(grfs_client::attach_dle(other, ws2->dle_id, "NO\tSUCH\\\x7f\xc3\xa9", "DLEPW")),
              GRFS_RC_ACCESS_DENIED);
    EXPECT_LT(Seconds(Clock::now() - start), 1.0);
    EXPECT_EQ(failed_retcode(grfs_client::attach_workstation(other, "NOT\nHERE\x1b[2J", "WSPW")), GRFS_RC_ACCESS_DENIED);
    EXPECT_EQ(failed_retcode(grfs_client::attach_workstation(other, agent.workstation(), "WRONG")), GRFS_RC_ACCESS_DENIED);

    const std::vector<std::string> lines = {
        "agent: attach refused: peer=" + peer + " dle=\"DATA\" reason=wrong password\n",
        "agent: attach refused: peer=" + peer + " dle=\"DATA\" reason=missing password\n",
        "agent: attach refused: peer=" + other_peer +
            " workstation=\"NOT\\nHERE\\x1b[2J\" reason=unknown workstation\n",
        "agent: attach refused: peer=" + other_peer + " workstation=\"" + agent.workstation() +
            "\" reason=wrong password\n",
        "agent: attach refused: peer=" + other_peer + " dle=\"NO\\tSUCH\\\\\\x7f\\xc3\\xa9\" reason=unknown export\n",
    };
    for (const std::string& line : lines) {
        EXPECT_TRUE(agent.WaitForStderr(line, 5000)) << line << "not in:\n" << agent.Stderr();
    }
    EXPECT_EQ(hardening::CountInStderr(agent, "attach refused"), lines.size()) << agent.Stderr();
    // A right attach is not reported.
    EXPECT_EQ(hardening::CountInStderr(agent, "WSPW"), 0u);
    c.end();
    other.end();
    hardening::ExpectCleanStop(agent);
}

// Waits 1 + 2 + 4 + 8 + 5 * 16 seconds between its ten refusals: the
// schedule of the guard, which no peer can shorten.
TEST(AttachRefusal, TheTenthRefusalEndsTheSession) {
    AgentProcess agent(Protected());
    ASSERT_TRUE(agent.Start());
    grfs_client::ConnectOptions options;
    options.reply_timeout_ms = 30000;
    auto opened = grfs_client::Connection::open(grfs_client::Endpoint{agent.address(), agent.port()}, options);
    ASSERT_TRUE(opened.ok()) << opened.error().text;
    grfs_client::Connection& c = *opened;

    std::vector<double> waits;
    auto last = Clock::now();
    for (int i = 1; i <= 10; ++i) {
        ASSERT_EQ(failed_retcode(grfs_client::attach_workstation(c, agent.workstation(), "GUESS" + std::to_string(i))),
                  GRFS_RC_ACCESS_DENIED)
            << "attempt " << i;
        const auto now = Clock::now();
        waits.push_back(Seconds(now - last));
        last = now;
    }
    const double expected[] = {0, 1, 2, 4, 8, 16, 16, 16, 16, 16};
    for (size_t i = 1; i < waits.size(); ++i) EXPECT_GE(waits[i], expected[i] - 0.05) << "attempt " << i + 1;

    // Ended as if the server had closed: the connection goes, and so does
    // the session process, counted off by the listener.
    auto s = c.receive(c.reply_scratch());
    EXPECT_EQ(s.kind, grfs_client::ErrorKind::closed) << s.text;
    EXPECT_TRUE(agent_it::WaitUntil([&] { return agent.SessionProcesses().empty(); }, 5000));
    EXPECT_EQ(hardening::CountInStderr(agent, "attach refused"), 10u);
    EXPECT_TRUE(hardening::AdmitAndServe(agent, 4, std::chrono::seconds(5)));
    hardening::ExpectCleanStop(agent);
}

// A file whose restore the session leaves open is named on the console at
// session end: a name with a line end and an escape sequence stays on its
// line, and one session repeats that message at most 20 times.
TEST(SessionConsole, NamesAreEscapedAndRepeatsAreCutShort) {
    AgentProcess agent;
    ASSERT_TRUE(agent.Start());
    const std::string evil = "evil\nagent: forged\x1b[2J";
    std::ofstream(agent.export_dir() + "/" + evil) << "x";
    for (int i = 0; i < 22; ++i) std::ofstream(agent.export_dir() + "/n" + std::to_string(100 + i)) << "x";

    // Opens every listed file whose name passes the filter for writing,
    // then ends the session with all of them open.
    auto restore_unfinished = [&](const std::function<bool(const std::string&)>& filter) {
        auto peer = e2e::connect_peer(agent, "DATA", grfs_client::kAttachReasonRestore);
        ASSERT_TRUE(peer.ok()) << peer.error().text;
        auto listing = peer->list_directory("");
        ASSERT_TRUE(listing.ok()) << listing.error().text;
        for (const auto& d : *listing) {
            if (d.is_directory() || !filter(d.text())) continue;
            auto opened = grfs_client::open_object(peer->connection(), peer->dle_id(), d, GRFS_OPEN_WRITE);
            ASSERT_TRUE(opened.ok()) << d.text() << ": " << opened.error().text;
        }
        peer->connection().end();
    };

    restore_unfinished([&](const std::string& name) { return name == evil; });
    const std::string line = "agent: Restore of " + agent.export_dir() +
                             "/evil\\nagent: forged\\x1b[2J incomplete: the session ended before the object was "
                             "closed.\n";
    EXPECT_TRUE(agent.WaitForStderr(line, 5000)) << agent.Stderr();
    EXPECT_EQ(hardening::CountInStderr(agent, "forged"), 1u) << agent.Stderr();

    restore_unfinished([](const std::string& name) { return name[0] == 'n'; });
    const std::string summary =
        "agent: 2 more messages like \"Restore of %s incomplete: the session ended before the object was closed.\" "
        "suppressed in this session.\n";
    EXPECT_TRUE(agent.WaitForStderr(summary, 5000)) << agent.Stderr();
    EXPECT_EQ(hardening::CountInStderr(agent, "agent: Restore of "), 21u) << agent.Stderr();
    EXPECT_EQ(hardening::CountInStderr(agent, "suppressed"), 1u) << agent.Stderr();
    hardening::ExpectCleanStop(agent);
}

}  // namespace
