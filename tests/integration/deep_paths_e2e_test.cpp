// Exports at the longest path a configuration allows, with trees below
// them whose absolute paths pass 256, 1,024 and 4,096 bytes, backed up,
// restored (to the same places and below a deeper one) and verified with
// grfsclient through the real agent. What the wire can carry comes back
// equal; a directory whose path from the export root is longer than
// GRFS_CHANGE_DIR can name is named by the backup and on the agent's
// console, never passed over in silence.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "agent_process.h"
#include "e2e_support.h"
#include "tree_builder.h"
#include "util/unique_fd.h"

namespace e2e {
namespace {

// The configuration's limit on an export path (PATH_MAX less its zero).
constexpr size_t kLongestExport = 4095;

// Makes base/tag/... with components of at most 255 bytes, exactly
// kLongestExport bytes long.
std::string make_longest_export(const std::string& base, char tag) {
    std::string path = base;
    if (mkdir(path.c_str(), 0755) != 0) return {};
    while (path.size() < kLongestExport) {
        size_t room = kLongestExport - path.size() - 1;
        // A last piece never shorter than one byte: the one before it leaves room.
        size_t n = room > 255 ? (room - 255 < 2 ? 200 : 255) : room;
        path += "/" + std::string(n, tag);
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return {};
    }
    return path;
}

void write_at(int dir, const std::string& name, const std::string& bytes) {
    UniqueFd fd(openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
    ASSERT_TRUE(fd.valid()) << name;
    ASSERT_EQ(write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    timespec times[2] = {{1000000000, 0}, {1100000000 + static_cast<time_t>(bytes.size()), 0}};
    ASSERT_EQ(futimens(fd.get(), times), 0);
}

UniqueFd make_dir_at(int dir, const std::string& name, mode_t mode) {
    EXPECT_EQ(mkdirat(dir, name.c_str(), mode), 0) << name;
    return UniqueFd(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// One object as the file system holds it, read through descriptors only.
struct Node {
    mode_t mode = 0;
    time_t mtime = 0;
    std::string content;  // a file's bytes, a link's target
    bool operator==(const Node&) const = default;
};

// For failure messages: the paths whose objects differ, and how.
std::string differing(const std::map<std::string, Node>& got, const std::map<std::string, Node>& want) {
    std::string out;
    for (const auto& [path, node] : want) {
        auto it = got.find(path);
        if (it == got.end()) {
            out += "missing: " + path + "\n";
        } else if (!(it->second == node)) {
            out += "differs: " + path + " mode " + std::to_string(it->second.mode) + "/" + std::to_string(node.mode) +
                   " mtime " + std::to_string(it->second.mtime) + "/" + std::to_string(node.mtime) + "\n";
        }
    }
    for (const auto& [path, node] : got) {
        if (!want.count(path)) out += "extra: " + path + "\n";
    }
    return out;
}

void snapshot_at(int dir, const std::string& rel, std::map<std::string, Node>& out) {
    UniqueFd again(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* stream = fdopendir(again.release());
    ASSERT_NE(stream, nullptr);
    while (const dirent* e = readdir(stream)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = rel.empty() ? name : rel + "/" + name;
        struct stat st {};
        ASSERT_EQ(fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0) << path;
        Node node{st.st_mode, S_ISLNK(st.st_mode) ? 0 : st.st_mtime, {}};
        if (S_ISREG(st.st_mode)) {
            UniqueFd fd(openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC));
            node.content.resize(static_cast<size_t>(st.st_size));
            EXPECT_EQ(read(fd.get(), node.content.data(), node.content.size()), st.st_size) << path;
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlinkat(dir, name.c_str(), target, sizeof target);
            node.content.assign(target, n > 0 ? static_cast<size_t>(n) : 0);
        }
        out[path] = node;
        if (S_ISDIR(st.st_mode)) {
            UniqueFd sub(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            snapshot_at(sub.get(), path, out);
        }
    }
    closedir(stream);
}

std::map<std::string, Node> snapshot_of(const std::string& root) {
    std::map<std::string, Node> out;
    UniqueFd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_TRUE(fd.valid()) << root;
    if (fd.valid()) snapshot_at(fd.get(), "", out);
    return out;
}

// Removes what dir holds, however deep (the temporary directories' own
// removal goes by absolute paths).
void empty_at(int dir) {
    UniqueFd again(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* stream = fdopendir(again.release());
    if (stream == nullptr) return;
    std::vector<std::string> names;
    while (const dirent* e = readdir(stream)) {
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.emplace_back(e->d_name);
    }
    closedir(stream);
    for (const std::string& name : names) {
        if (unlinkat(dir, name.c_str(), 0) == 0) continue;
        UniqueFd sub(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.valid()) empty_at(sub.get());
        unlinkat(dir, name.c_str(), AT_REMOVEDIR);
    }
}

// Empties the deep exports however the test ends.
struct DeepRemoval {
    std::vector<std::string> roots;
    ~DeepRemoval() {
        for (const std::string& root : roots) {
            UniqueFd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (fd.valid()) empty_at(fd.get());
        }
    }
};

std::map<std::string, Node> below(const std::map<std::string, Node>& nodes, const std::string& prefix) {
    std::map<std::string, Node> out;
    for (const auto& [path, node] : nodes) {
        if (path.rfind(prefix + "/", 0) == 0) out[path.substr(prefix.size() + 1)] = node;
    }
    return out;
}

TEST(DeepPathsEndToEnd, EverythingTheWireCarriesComesBackAndTheRestIsNamed) {
    TempDir base("e2e-deep");
    TempDir work("e2e-deep-work");
    const std::string source = make_longest_export(base.path() + "/s", 's');
    const std::string target = make_longest_export(base.path() + "/t", 't');
    const DeepRemoval removal{{source, target}};
    ASSERT_EQ(source.size(), kLongestExport);
    ASSERT_EQ(target.size(), kLongestExport);

    // Paths from the export root: a 255-byte directory is the deepest a
    // GRFS_CHANGE_DIR names (its net path is 256 bytes); "z" below it is
    // one step too deep.
    const std::string a(120, 'a');
    const std::string b(120, 'b');
    const std::string c(255 - a.size() - b.size() - 2, 'c');
    const std::string deepest = a + "/" + b + "/" + c;
    const std::string too_deep = deepest + "/z";
    ASSERT_EQ(deepest.size(), 255u);
    {
        UniqueFd root(open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(root.valid());
        write_at(root.get(), "top.txt", std::string(1000, 'T'));
        UniqueFd da = make_dir_at(root.get(), a, 0750);
        write_at(da.get(), "in a.bin", std::string(40000, 'A'));
        ASSERT_EQ(symlinkat("../top.txt", da.get(), "link"), 0);
        UniqueFd db = make_dir_at(da.get(), b, 0755);
        write_at(db.get(), "f b", "bytes of b");
        UniqueFd dc = make_dir_at(db.get(), c, 0700);
        write_at(dc.get(), "deepest", "at the wire's depth");
        UniqueFd dz = make_dir_at(dc.get(), "z", 0755);
        write_at(dz.get(), "lost", "cannot be named");
        UniqueFd dzz = make_dir_at(dz.get(), "zz", 0755);
        write_at(dzz.get(), "lost too", "nor this");
    }
    const auto before = snapshot_of(source);

    agent_it::AgentConfig config;
    config.extra_lines = export_line(source, "DEEP") + export_line(target, "COPY");
    agent_it::AgentProcess agent(config);
    ASSERT_TRUE(agent.Start());

    // The backup stores everything else and names the directory it could
    // not list; the agent's console names it once.
    const std::string archive = work.path() + "/deep.grfsarc";
    ProcessResult backup = run_grfsclient(with_session({"backup", agent_host_port(agent), "DEEP", archive}, agent));
    EXPECT_EQ(backup.status, 1) << backup.describe();
    EXPECT_NE(backup.out.find("1 object(s) not stored whole:"), std::string::npos) << backup.describe();
    EXPECT_NE(backup.out.find("  " + too_deep + ": contents not backed up: its path from the export root is 257 bytes"),
              std::string::npos)
        << backup.describe();
    ASSERT_TRUE(agent.WaitForStderr("not entered", 5000)) << agent.Stderr();
    EXPECT_EQ(occurrences(agent.Stderr(), too_deep + "' of export DEEP not entered"), 1u) << agent.Stderr();

    // Restored in place, everything the archive holds is as it was.
    ProcessResult restore = run_grfsclient(with_session({"restore", archive, agent_host_port(agent), "COPY"}, agent));
    EXPECT_EQ(restore.status, 0) << restore.describe();
    auto expected = before;
    for (auto it = expected.begin(); it != expected.end();) {
        it = it->first.rfind(too_deep + "/", 0) == 0 ? expected.erase(it) : std::next(it);
    }
    EXPECT_EQ(differing(snapshot_of(target), expected), "");

    // Verify compares every archived object and names, as the backup did,
    // only the directory it could not list.
    ProcessResult verify = run_grfsclient(with_session({"verify", archive, agent_host_port(agent), "COPY"}, agent));
    EXPECT_EQ(verify.status, 1) << verify.describe();
    EXPECT_NE(verify.out.find("objects match"), std::string::npos) << verify.describe();
    EXPECT_NE(verify.out.find("1 difference(s):\n  " + too_deep + ": not listed: its path from the export root is"),
              std::string::npos)
        << verify.describe();

    // Below a deeper place the deepest directory passes the wire's limit:
    // its file is named, the rest comes back equal.
    const std::string to = "deeper/to";
    ProcessResult moved =
        run_grfsclient(with_session({"restore", archive, agent_host_port(agent), "COPY", "--to", to}, agent));
    EXPECT_EQ(moved.status, 1) << moved.describe();
    EXPECT_NE(moved.out.find("  " + deepest + "/deepest: not restored: its directory's path from the export root is"),
              std::string::npos)
        << moved.describe();
    auto expected_moved = expected;
    expected_moved.erase(deepest + "/deepest");
    EXPECT_EQ(differing(below(snapshot_of(target), to), expected_moved), "");
    ProcessResult verify_moved = run_grfsclient(
        with_session({"verify", archive, agent_host_port(agent), "COPY", "--to", to, "--no-extras"}, agent));
    EXPECT_EQ(verify_moved.status, 1) << verify_moved.describe();
    EXPECT_NE(verify_moved.out.find("objects match"), std::string::npos) << verify_moved.describe();
    EXPECT_NE(verify_moved.out.find("  " + to + "/" + deepest + "/deepest: not compared: its directory's path"),
              std::string::npos)
        << verify_moved.describe();

    agent_it::AgentExit exit = agent.Stop();
    EXPECT_TRUE(exit.left.empty()) << exit.describe();
}

}  // namespace
}  // namespace e2e
