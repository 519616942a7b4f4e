// grfs_bench: builds the scratch data set, starts the real agent on it and
// prints one table in which every agent figure stands beside its yardstick
// measured in the same run; several runs give medians and ranges.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/agent_process.h"
#include "bench/bench_util.h"
#include "bench/dataset.h"
#include "bench/host_trees.h"
#include "bench/report.h"
#include "bench/scenarios.h"
#include "bench/slicing.h"

#ifndef BENCH_AGENT_BINARY
#define BENCH_AGENT_BINARY "agent"
#endif
#ifndef BENCH_PINGPONG_BINARY
#define BENCH_PINGPONG_BINARY "bench_pingpong"
#endif
#ifndef BENCH_GRFSCLIENT_BINARY
#define BENCH_GRFSCLIENT_BINARY "grfsclient"
#endif
#ifndef BENCH_RESULTS_DIR
#define BENCH_RESULTS_DIR "bench/results"
#endif

namespace {

const char* kUsage =
    "usage: grfs_bench [--runs N] [--dir PATH] [--json PATH] [--agent PATH] [--pingpong PATH]\n"
    "                  [--grfsclient PATH] [--no-tar] [--wait-load LOAD] [--only NAME,...] [--cpus LIST]\n"
    "                  [--tree-slices N] [--heavy-runs N]\n"
    "\n"
    "  --runs N         runs of every measurement; the table shows medians and ranges (default 5)\n"
    "  --dir PATH       scratch directory for the data set (default $BENCH_DIR, else /tmp/grfs-bench)\n"
    "  --json PATH      where to write the table as JSON (default " BENCH_RESULTS_DIR "/bench-TIME.json)\n"
    "  --agent PATH     the agent program (default the one built beside this program)\n"
    "  --pingpong PATH  the ping-pong server (default the one built beside this program)\n"
    "  --grfsclient PATH  the peer program, for the round trips of whole trees (default the one built\n"
    "                   beside this program)\n"
    "  --no-tar         leave out the tar reference rows\n"
    "  --wait-load L    first wait (at most 10 minutes) until the 1-minute load average is below L\n"
    "  --only NAMES     only these measurements (backup, sparse, restore, verify, small, listing, etc,\n"
    "                   host, cold), for profiling\n"
    "  --tree-slices N  slices per run of the host-shaped tree's round trip (even; default 2)\n"
    "  --heavy-runs N   runs that include the long rows, the host-shaped tree's round trip and the\n"
    "                   cold-cache backups: the first N (default 2)\n"
    "  --cpus LIST      run the client, the agent, the ping-pong servers and tar on these CPUs only\n"
    "                   (default the last CPU; \"all\" leaves the placement to the scheduler)\n";

std::string utc_now(const char* format) {
    char buf[64];
    std::time_t t = std::time(nullptr);
    std::strftime(buf, sizeof buf, format, std::gmtime(&t));
    return buf;
}

bench::AgentProcess* running_agent = nullptr;

void stop_on_signal(int) {
    // Leave no agent behind when interrupted.
    if (running_agent != nullptr && running_agent->pid > 0) kill(running_agent->pid, SIGTERM);
    _exit(130);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace bench;
    int runs = 5;
    const char* env_dir = std::getenv("BENCH_DIR");
    std::string dir = env_dir != nullptr && *env_dir != '\0' ? env_dir : "/tmp/grfs-bench";
    std::string json_path;
    BenchSetup setup;
    std::string agent_binary = BENCH_AGENT_BINARY;
    setup.pingpong.binary = BENCH_PINGPONG_BINARY;
    setup.grfsclient = BENCH_GRFSCLIENT_BINARY;
    double wait_load = 0;
    std::string cpus;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << kUsage;
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--runs") runs = std::atoi(value().c_str());
        else if (a == "--dir") dir = value();
        else if (a == "--json") json_path = value();
        else if (a == "--agent") agent_binary = value();
        else if (a == "--pingpong") setup.pingpong.binary = value();
        else if (a == "--grfsclient") setup.grfsclient = value();
        else if (a == "--tree-slices") setup.tree_slices = std::atoi(value().c_str());
        else if (a == "--heavy-runs") setup.heavy_runs = std::atoi(value().c_str());
        else if (a == "--no-tar") setup.with_tar = false;
        else if (a == "--wait-load") wait_load = std::atof(value().c_str());
        else if (a == "--cpus") cpus = value();
        else if (a == "--only") {
            std::string list = value();
            for (size_t start = 0; start <= list.size();) {
                size_t comma = list.find(',', start);
                if (comma == std::string::npos) comma = list.size();
                if (comma > start) setup.only.push_back(list.substr(start, comma - start));
                start = comma + 1;
            }
        }
        else if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            return 0;
        } else {
            std::cerr << "grfs_bench: unknown option " << a << "\n" << kUsage;
            return 2;
        }
    }
    if (runs < 1) die("--runs must be at least 1");
    if (setup.tree_slices < 2 || setup.tree_slices % 2 != 0) die("--tree-slices must be even and at least 2");
    if (setup.heavy_runs < 0) die("--heavy-runs must not be negative");
    // One CPU by default: where the two ends of a round trip run changes its
    // cost several times over on some machines, and not alike for the agent
    // and its yardstick, so an unpinned run measures the scheduler.
    if (cpus.empty()) cpus = std::to_string(last_allowed_cpu());
    if (cpus == "all") cpus.clear();
    if (json_path.empty()) json_path = std::string(BENCH_RESULTS_DIR) + "/bench-" + utc_now("%Y%m%dT%H%M%SZ") + ".json";

    signal(SIGINT, stop_on_signal);
    signal(SIGTERM, stop_on_signal);
    signal(SIGPIPE, SIG_IGN);

    setup.data = prepare_dataset(dir);
    setup.trees = prepare_host_trees(dir);
    // The archives of the round trips go to memory where the host has a
    // tmpfs, so that only the agent's side of the round trip touches the disk.
    setup.archive_dir = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : dir;
    // Roughly 150 MB/s: slower than the agent's warm backup of the file at
    // every think time but the longest.
    ThrottledDisk disk(setup.data.data + "/" + setup.data.big_name, 150000000);
    if (disk.ok()) setup.disk = &disk;
    else setup.cold_skipped = disk.reason();
    if (wait_load > 0) {
        for (int i = 0; i < 120 && load_1min() >= wait_load; ++i) {
            if (i == 0) std::printf("Waiting for the load average (%s) to fall below %.2f ...\n", load_average().c_str(), wait_load);
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::seconds(5));
        }
    }
    std::printf("Warming the page cache ...\n");
    std::fflush(stdout);
    warm_page_cache(setup.data);
    warm_tree(setup.trees.host);
    warm_tree(setup.trees.etc);

    MachineInfo machine;
    machine.cpus = cpu_count();
    machine.cpu_model = cpu_model();
    machine.kernel = kernel_release();
    machine.started = utc_now("%Y-%m-%dT%H:%M:%SZ");
    machine.load_before = load_average();
    machine.slices = kSlices;

    // Set before anything is started, so that every process inherits it.
    if (!cpus.empty() && !pin_to_cpus(cpus)) die("cannot run on CPUs " + cpus);
    machine.cpus_pinned = cpus;
    setup.agent = start_agent(agent_binary, setup.data);
    running_agent = &setup.agent;
    std::printf("Agent %d on %s:%u; %d runs; load average %s\n", static_cast<int>(setup.agent.pid),
                setup.agent.host.c_str(), setup.agent.port, runs, machine.load_before.c_str());
    std::fflush(stdout);
    // The client and tar run at the session process's priority, as its peer
    // and its rival would on a server; the ping-pong server starts at the
    // listener's and takes the session's step itself.
    setup.pingpong.start_nice = nice_of(setup.agent.pid);
    const int session = session_nice(setup);
    if (!set_own_nice(session))
        std::printf("Not allowed to take the session process's priority (nice %d); the client stays at nice %d\n",
                    session, nice_of(0));
    std::fflush(stdout);
    probe_exchange_sizes(setup);

    std::vector<RunResults> results;
    for (int r = 0; r < runs; ++r) {
        const auto start = Clock::now();
        results.push_back(run_once(setup, r % 2 == 0, r < setup.heavy_runs));
        results.back()["run_seconds"] = seconds_since(start);
        std::printf("run %d of %d: %.1f s, load average %s\n", r + 1, runs, results.back()["run_seconds"],
                    load_average().c_str());
        std::fflush(stdout);
    }
    add_listener_facts(setup, results.back());
    stop_agent(setup.agent);
    running_agent = nullptr;
    machine.load_after = load_average();

    std::printf("\nMachine: %d CPUs, %s, %s; load average before %s, after %s\n\n", machine.cpus,
                machine.cpu_model.c_str(), machine.kernel.c_str(), machine.load_before.c_str(),
                machine.load_after.c_str());
    std::printf("%s\n", render_priorities(results).c_str());
    std::printf("CPUs: %s\n\n", cpus.empty() ? "as the scheduler places the processes" : ("all processes on " + cpus).c_str());
    std::map<std::string, std::string> skipped;
    if (!setup.cold_skipped.empty()) skipped["cold_backup"] = setup.cold_skipped;
    std::printf("%s", render_table(results, skipped).c_str());
    const int heavy = std::min(runs, setup.heavy_runs);
    std::printf("\nTrees: the host-shaped tree %llu objects, %.0f MB of file data; the copy of /etc %llu objects,\n"
                "%.1f MB. Their round trips: %d slices per run (the host-shaped tree %d, in the first %d runs),\n"
                "archives in %s.\n",
                static_cast<unsigned long long>(setup.trees.host.objects), setup.trees.host.bytes / 1e6,
                static_cast<unsigned long long>(setup.trees.etc.objects), setup.trees.etc.bytes / 1e6, kSlices,
                setup.tree_slices, heavy, setup.archive_dir.c_str());
    if (setup.disk != nullptr)
        std::printf("Cold-cache rows: the session process in blkio group reading device %s at most 150 MB/s,\n"
                    "the file dropped from the page cache before each cold slice, 2 slices per run, in the first %d runs.\n",
                    setup.disk->device().c_str(), heavy);
    else
        std::printf("Cold-cache rows skipped: %s.\n", setup.cold_skipped.c_str());
    std::printf("\nFigures are medians over %d runs with the range in parentheses; MB is 10^6 bytes. Each row measures\n"
                "the agent and its yardsticks in %d slices (the listing in 10), in the order A B B A A B B A ...\n"
                "(A B C C B A ... for three).\n\n",
                runs, kSlices);
    std::printf("%s", render_cpu_table(results).c_str());

    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(json_path).parent_path(), ec);
    std::ofstream json(json_path);
    json << render_json(results, machine);
    if (!json) die("cannot write " + json_path);
    std::printf("JSON: %s\n", json_path.c_str());
    return 0;
}
