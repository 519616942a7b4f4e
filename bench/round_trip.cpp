#include "bench/round_trip.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "bench/bench_util.h"
#include "bench/slicing.h"
#include "bench/tar_reference.h"

namespace bench {

namespace {

namespace fs = std::filesystem;

// Runs grfsclient with args, its output to log; dies when it fails.
void run_grfsclient(const BenchSetup& setup, const std::vector<std::string>& args, const std::string& log) {
    pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(setup.grfsclient.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(setup.grfsclient.c_str(), argv.data());
        std::perror(setup.grfsclient.c_str());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die("grfsclient " + args[0] + " failed (exit status " + std::to_string(WEXITSTATUS(status)) + "); see " + log);
}

// Empties a directory, keeping it.
void empty_dir(const std::string& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
}

}  // namespace

void tree_round_trip(const BenchSetup& setup, const TreeFacts& tree, const std::string& dle, const std::string& name,
                     int slices, bool agent_first, RunResults& out) {
    const AgentProcess& agent = setup.agent;
    const std::string address = agent.host + ":" + std::to_string(agent.port);
    const std::string archive = setup.archive_dir + "/grfs-bench-" + name + ".grfsarc";
    const std::string log = setup.data.root + "/grfsclient-" + name + ".log";
    const std::string copy = setup.data.root + "/" + kTreeCopyDir;
    const std::string tar_into = setup.data.root + "/tar-" + name;
    const fs::path source(tree.path);
    fs::create_directories(copy);
    empty_dir(copy);
    int tar_nice = 0;
    double backup_seconds = 0;
    const std::vector<std::function<double(int)>> sides = {
        [&](int) {
            const auto start = Clock::now();
            run_grfsclient(setup, {"backup", address, dle, archive, "--workstation", agent.workstation}, log);
            backup_seconds += seconds_since(start);
            run_grfsclient(setup, {"restore", archive, address, agent.tree_copy_dle, "--workstation", agent.workstation},
                           log);
            const double t = seconds_since(start);
            // Removed before write-back starts, so that the disk stays quiet.
            std::error_code ec;
            fs::remove(archive, ec);
            empty_dir(copy);
            return t;
        },
        [&](int) {
            const double t = tar_copy(source.parent_path().string(), source.filename().string(), tar_into, &tar_nice);
            std::error_code ec;
            fs::remove_all(tar_into, ec);
            return t;
        }};
    std::vector<double> total(sides.size(), 0.0);
    for (int i = 0; i < slices; ++i) {
        for (int k : slice_order(static_cast<int>(sides.size()), i, agent_first)) total[k] += sides[k](i);
    }
    const double objects = static_cast<double>(tree.objects) * slices;
    out["roundtrip_" + name + "_agent_ops"] = objects / total[0];
    out["roundtrip_" + name + "_tar_ops"] = objects / total[1];
    out["roundtrip_" + name + "_agent_s"] = total[0] / slices;
    out["roundtrip_" + name + "_backup_s"] = backup_seconds / slices;
    out["roundtrip_" + name + "_tar_s"] = total[1] / slices;
    out["roundtrip_" + name + "_objects"] = static_cast<double>(tree.objects);
    out["roundtrip_" + name + "_mb"] = static_cast<double>(tree.bytes) / 1e6;
    out["roundtrip_nice_client"] = nice_of(0);
    out["roundtrip_tar_nice"] = tar_nice;
}

}  // namespace bench
