// POSIX ACLs through a backup and two restores with posix_acls: a tree with
// named-user and named-group entries, a mask narrower than the group, a
// directory with a default ACL, files with mode bits only and a link, backed
// up with `grfsclient backup`, restored into an empty export, verified, and,
// after its ACLs were changed (which verify reports), restored again over
// the restored tree.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "agent_process.h"
#include "e2e_support.h"
#include "tree_builder.h"

namespace e2e {
namespace {

constexpr const char* kAccess = "system.posix_acl_access";
constexpr const char* kDefault = "system.posix_acl_default";

constexpr uint32_t kNone = 0xFFFFFFFF;

void SetAcl(const std::string& path, const char* name, const std::string& value) {
    ASSERT_EQ(setxattr(path.c_str(), name, value.data(), value.size(), 0), 0) << path << " errno " << errno;
}

// The attribute's bytes, or "<none>".
std::string AclOf(const std::string& path, const char* name) {
    char buf[1024];
    const ssize_t n = getxattr(path.c_str(), name, buf, sizeof buf);
    return n < 0 ? std::string("<none>") : std::string(buf, static_cast<size_t>(n));
}

const std::vector<std::string> kPaths = {"", "named", "narrow", "plain", "dir", "dir/inside", "dir/sub", "bare"};

void ExpectSameAcls(const std::string& source, const std::string& target) {
    for (const auto& p : kPaths) {
        SCOPED_TRACE("path '" + p + "'");
        EXPECT_EQ(AclOf(target + "/" + p, kAccess), AclOf(source + "/" + p, kAccess));
        EXPECT_EQ(AclOf(target + "/" + p, kDefault), AclOf(source + "/" + p, kDefault));
        struct stat s{}, t{};
        ASSERT_EQ(lstat((source + "/" + p).c_str(), &s), 0);
        ASSERT_EQ(lstat((target + "/" + p).c_str(), &t), 0);
        if (!p.empty()) {
            EXPECT_EQ(t.st_mode, s.st_mode);
        }
    }
}

TEST(PosixAclEndToEnd, AclsSurviveBackupAndARepeatedRestore) {
    TempDir source("e2e-acl-src");
    TempDir target("e2e-acl-dst");
    TempDir work("e2e-acl-work");
    const std::string& src = source.path();
    for (const char* f : {"named", "narrow", "plain"}) std::ofstream(src + "/" + f) << f;
    ASSERT_EQ(chmod((src + "/plain").c_str(), 0640), 0);
    SetAcl(src + "/named", kAccess,
           acl_xattr_value({{0x01, 6, kNone}, {0x02, 6, 1001}, {0x04, 4, kNone}, {0x08, 4, 2002}, {0x10, 6, kNone},
                     {0x20, 4, kNone}}));
    SetAcl(src + "/narrow", kAccess,
           acl_xattr_value({{0x01, 6, kNone}, {0x02, 4, 1001}, {0x04, 7, kNone}, {0x10, 4, kNone}, {0x20, 0, kNone}}));
    ASSERT_EQ(mkdir((src + "/dir").c_str(), 0750), 0);
    ASSERT_EQ(mkdir((src + "/bare").c_str(), 0755), 0);
    SetAcl(src + "/dir", kAccess,
           acl_xattr_value({{0x01, 7, kNone}, {0x02, 7, 1001}, {0x04, 5, kNone}, {0x10, 7, kNone}, {0x20, 0, kNone}}));
    SetAcl(src + "/dir", kDefault,
           acl_xattr_value({{0x01, 7, kNone}, {0x02, 5, 1001}, {0x04, 5, kNone}, {0x08, 7, 2002}, {0x10, 7, kNone},
                     {0x20, 0, kNone}}));
    // Made after the default ACL: they inherit it.
    std::ofstream(src + "/dir/inside") << "inside";
    ASSERT_EQ(mkdir((src + "/dir/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("plain", (src + "/link").c_str()), 0);

    agent_it::AgentConfig config;
    config.extra_lines = "posix_acls\n" + export_line(src, "TREE") + export_line(target.path(), "COPY");
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());

    const std::string archive = work.path() + "/acl.grfsarc";
    ProcessResult backup = run_grfsclient(with_session({"backup", agent_host_port(agent), "TREE", archive}, agent));
    ASSERT_EQ(backup.status, 0) << backup.describe();
    ProcessResult restore = run_grfsclient(with_session({"restore", archive, agent_host_port(agent), "COPY"}, agent));
    ASSERT_EQ(restore.status, 0) << restore.describe();
    ExpectSameAcls(src, target.path());
    ProcessResult verify = run_grfsclient(with_session({"verify", archive, agent_host_port(agent), "COPY"}, agent));
    EXPECT_EQ(verify.status, 0) << verify.describe();
    EXPECT_NE(verify.out.find("no differences"), std::string::npos) << verify.describe();

    // Changed ACLs on the restored tree are put back by the next restore:
    // an extended ACL where the source has none, a default ACL where the
    // source has none.
    const std::string extra =
        acl_xattr_value({{0x01, 6, kNone}, {0x02, 6, 4242}, {0x04, 4, kNone}, {0x10, 6, kNone}, {0x20, 0, kNone}});
    SetAcl(target.path() + "/plain", kAccess, extra);
    SetAcl(target.path() + "/bare", kDefault, extra);
    // verify reads the ACL stream back and compares it like the others.
    verify = run_grfsclient(with_session({"verify", archive, agent_host_port(agent), "COPY"}, agent));
    EXPECT_NE(verify.status, 0) << verify.describe();
    EXPECT_NE(verify.out.find("plain"), std::string::npos) << verify.describe();
    EXPECT_NE(verify.out.find("bare"), std::string::npos) << verify.describe();
    restore = run_grfsclient(with_session({"restore", archive, agent_host_port(agent), "COPY"}, agent));
    ASSERT_EQ(restore.status, 0) << restore.describe();
    ExpectSameAcls(src, target.path());
}

}  // namespace
}  // namespace e2e
