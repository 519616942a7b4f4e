#include "bench/agent_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench/bench_util.h"
#include "client/advertisement.h"

namespace bench {

namespace {

// A loopback address of our own to receive the advertisement on, so that
// other agents and tests on this host do not disturb us nor we them.
grfs_client::AdvertListener listen_for_advert(std::string* address) {
    const uint16_t port = grfs_client::grfs_service_port();
    const unsigned seed = static_cast<unsigned>(getpid());
    for (unsigned attempt = 0; attempt < 32; ++attempt) {
        unsigned v = seed * 7919u + attempt * 104729u;
        *address = "127.201." + std::to_string(v % 250 + 1) + "." + std::to_string((v / 250) % 250 + 2);
        auto listener = grfs_client::AdvertListener::listen(grfs_client::Endpoint{*address, port});
        if (listener.ok()) return std::move(*listener);
    }
    die("no free private loopback address for the advertisement (port " + std::to_string(port) + ")");
}

}  // namespace

AgentProcess start_agent(const std::string& binary, const Dataset& d) {
    AgentProcess agent;
    std::string tell;
    grfs_client::AdvertListener adverts = listen_for_advert(&tell);

    const std::string config = d.root + "/agent.cfg";
    std::filesystem::create_directories(d.root + "/" + kTreeCopyDir);
    {
        std::ofstream cfg(config);
        cfg << "name " << agent.workstation << "\n"
            << "export " << d.data << " as " << agent.data_dle << " write_protect\n"
            << "export " << d.restore << " as " << agent.restore_dle << "\n"
            << "export " << d.root << "/trees/host as " << agent.host_tree_dle << " write_protect\n"
            << "export " << d.root << "/trees/etc as " << agent.etc_tree_dle << " write_protect\n"
            << "export " << d.root << "/" << kTreeCopyDir << " as " << agent.tree_copy_dle << "\n"
            << "tell " << tell << "\n"
            // The first advertisement goes out at once; no more during the runs.
            << "tell_interval 3600\n"
            << "force_address " << agent.host << "\n";
        if (!cfg) die("cannot write " + config);
    }
    agent.log_path = d.root + "/agent.log";

    pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        int log = open(agent.log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (log >= 0) {
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
        }
        if (chdir(d.root.c_str()) != 0) _exit(126);
        execl(binary.c_str(), binary.c_str(), "-c", config.c_str(), static_cast<char*>(nullptr));
        std::perror(binary.c_str());
        _exit(127);
    }
    agent.pid = pid;

    auto advert = adverts.receive(30000);
    if (!advert.ok()) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        die("no advertisement from the agent within 30 s (" + advert.error().text + "); see " + agent.log_path);
    }
    auto endpoint = grfs_client::parse_universal_address(advert->address);
    if (!endpoint.ok() || endpoint->host != agent.host) {
        stop_agent(agent);
        die("the agent advertised an unexpected address " + advert->address);
    }
    agent.port = endpoint->port;
    return agent;
}

void stop_agent(AgentProcess& agent) {
    if (agent.pid <= 0) return;
    const std::vector<pid_t> kids = children_of(agent.pid);
    kill(agent.pid, SIGTERM);
    int status = 0;
    waitpid(agent.pid, &status, 0);
    agent.pid = -1;
    // The advertisement and session processes end with the listener; give
    // them a moment.
    auto alive = [&] {
        for (pid_t k : kids) {
            if (kill(k, 0) == 0) return k;
        }
        return pid_t{0};
    };
    for (int i = 0; i < 100 && alive() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (pid_t k = alive(); k != 0) die("a process of the agent was left behind: " + std::to_string(k));
}

pid_t new_session_process(const AgentProcess& agent, const std::vector<pid_t>& before) {
    for (int i = 0; i < 100; ++i) {
        for (pid_t p : children_of(agent.pid)) {
            if (std::find(before.begin(), before.end(), p) == before.end()) return p;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    die("no session process appeared for the new connection");
}

}  // namespace bench
