// grfsclient's command line: usage errors, exit statuses, and what the
// commands print against the agent stand-in.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "client/command_line.h"
#include "fake_agent.h"

using namespace grfs_client;

namespace {

struct CommandRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
    return text;
}

CommandRun run(std::vector<std::string> args) {
    args.insert(args.begin(), "grfsclient");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    CommandIo io;
    io.out = std::tmpfile();
    io.err = std::tmpfile();
    CommandRun r;
    r.status = grfsclient_main(static_cast<int>(argv.size()), argv.data(), io);
    r.out = slurp(io.out);
    r.err = slurp(io.err);
    return r;
}

std::string at(const fake::FakeAgent& agent) { return "127.0.0.1:" + std::to_string(agent.port()); }

}  // namespace

TEST(Commands, UsageErrorsExitWithTwoAndOneLine) {
    EXPECT_EQ(run({}).status, kExitUsage);
    CommandRun r = run({"frobnicate"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_EQ(r.err, "grfsclient: unknown command 'frobnicate'; try 'grfsclient --help'\n");
    r = run({"ping"});
    EXPECT_EQ(r.status, kExitUsage);
    r = run({"backup", "h", "d"});
    EXPECT_EQ(r.status, kExitUsage);
    r = run({"ls", "h:99999", "D"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_EQ(r.err, "grfsclient ls: bad port in 'h:99999'\n");
    r = run({"ping", "h", "--count", "x"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_EQ(r.err, "grfsclient ping: --count wants a number from 1 to 100000000, not 'x'\n");
    r = run({"restore", "a", "h", "d", "--frob"});
    EXPECT_EQ(r.err, "grfsclient restore: unknown option '--frob'\n");
    r = run({"ls", "10.9.8.7", "D"});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_NE(r.err.find("give --workstation NAME"), std::string::npos) << r.err;
}

TEST(Commands, EveryCommandHasHelp) {
    for (const char* command : {"adverts", "ping", "ls", "backup", "restore", "verify"}) {
        CommandRun r = run({command, "--help"});
        EXPECT_EQ(r.status, kExitOk) << command;
        EXPECT_EQ(r.out.rfind(std::string("usage: grfsclient ") + command, 0), 0u) << r.out;
    }
    EXPECT_EQ(run({"--help"}).status, kExitOk);
}

TEST(Commands, PingPrintsTheRate) {
    fake::FakeAgent agent;
    agent.serve();
    CommandRun r = run({"ping", at(agent), "--count", "20", "--size", "100"});
    agent.wait();
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_NE(r.out.find("20 round trips of 100 data bytes to " + at(agent)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("round trips/s"), std::string::npos);
    EXPECT_EQ(agent.request_types, std::vector<uint8_t>(20, GRFS_VERIFY_OBJ));
}

TEST(Commands, RefusedSessionIsOneClearLine) {
    fake::FakeAgent agent;
    agent.serve_raw([](int fd) {
        unsigned char request[513];
        fake::read_exact(fd, request, sizeof request);
        unsigned char reply[514] = {0x01, 0x00};
        fake::write_all(fd, reply, sizeof reply);
    });
    CommandRun r = run({"ping", at(agent)});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.err, "grfsclient ping: session open with " + at(agent) +
                         ": refused (4 sessions already, or this address is not allowed)\n");
}

TEST(Commands, LsListsExportsAndObjects) {
    fake::FakeAgent agent;
    agent.dles = {"EXP", "OTHER"};
    agent.serve();
    CommandRun r = run({"ls", at(agent), "--workstation", "WS"});
    agent.wait();
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_NE(r.out.find("EXP "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("OTHER "), std::string::npos);

    agent.add_dir("d", S_IFDIR | 0750);
    agent.add_file("d/f", "12345", S_IFREG | 04711);
    agent.add_link("l", "d/f");
    agent.add_file("b", "");
    agent.tree["b"].uid = 1000;
    agent.tree["b"].gid = 100;
    agent.serve();
    r = run({"ls", at(agent), "EXP", "--workstation=WS", "-R"});
    agent.wait();
    EXPECT_EQ(r.status, kExitOk) << r.err;
    // Sorted by name, a header per directory, link targets, set-uid bit.
    const std::string out = r.out;
    const size_t root = out.find("/:\n");
    const size_t b = out.find("-rw-r--r--   1 1000     100               0 ");
    const size_t d = out.find("drwxr-x---   2 0        0              4096 ");
    const size_t l = out.find(" l -> d/f\n");
    const size_t header = out.find("\nd:\n");
    const size_t f = out.find("-rws--x--x   1 0        0                 5 ");
    EXPECT_EQ(root, 0u) << out;
    EXPECT_LT(root, b);
    EXPECT_LT(b, d);
    EXPECT_LT(d, l);
    EXPECT_LT(l, header);
    EXPECT_LT(header, f);
    EXPECT_NE(f, std::string::npos) << out;
}

TEST(Commands, BackupRestoreVerifyExitStatuses) {
    char name[] = "/tmp/grfs_command_testXXXXXX";
    close(mkstemp(name));
    const std::string archive = name;
    fake::FakeAgent agent;
    agent.add_file("a", "hello");
    agent.add_dir("d");
    agent.add_file("d/b", "world");
    agent.serve();
    CommandRun r = run({"backup", at(agent), "EXP", archive, "--workstation", "WS"});
    agent.wait();
    EXPECT_EQ(r.status, kExitOk) << r.err << r.out;
    EXPECT_NE(r.out.find("4 objects"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 directories, 2 files, 0 links, 0 others"), std::string::npos) << r.out;

    agent.serve();
    r = run({"verify", archive, at(agent), "EXP", "--workstation", "WS"});
    agent.wait();
    EXPECT_EQ(r.status, kExitOk) << r.err << r.out;
    EXPECT_NE(r.out.find("no differences"), std::string::npos) << r.out;

    agent.tree["d/b"].data = "WORLD";
    agent.serve();
    r = run({"verify", archive, at(agent), "EXP", "--workstation", "WS"});
    agent.wait();
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_NE(r.out.find("1 difference(s):\n  d/b: contents differ at byte 0 of stream STAN\n"), std::string::npos) << r.out;

    fake::FakeAgent target;
    target.serve();
    r = run({"restore", archive, at(target), "EXP", "--workstation", "WS", "--to", "r"});
    target.wait();
    EXPECT_EQ(r.status, kExitOk) << r.err << r.out;
    EXPECT_NE(r.out.find("4 of 4 restored"), std::string::npos) << r.out;
    EXPECT_EQ(target.tree["r/d/b"].data, "world");
    EXPECT_EQ(target.attach_reasons.back(), 0x4);

    // A missing archive fails before any session is opened.
    r = run({"restore", "/nonexistent/archive", at(target), "EXP", "--workstation", "WS"});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.err, "grfsclient restore: cannot open /nonexistent/archive: No such file or directory\n");
    std::remove(archive.c_str());
}
