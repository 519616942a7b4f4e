#include "bench/scenarios.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "bench/bench_util.h"
#include "bench/pingpong.h"
#include "bench/tar_reference.h"
#include "bench/wire_session.h"
#include "client/connection.h"
#include "client/dblk_info.h"
#include "client/requests.h"

namespace bench {

namespace {

constexpr uint16_t kOpenRead = 0;
constexpr uint16_t kOpenWrite = 1;

// One session with the agent: opened and attached with the peer library,
// then driven at the level of wire bytes.
struct Session {
    std::unique_ptr<grfs_client::Connection> conn;
    pid_t pid = -1;  // the session process
    uint32_t dle = 0;
    std::unique_ptr<WireSession> wire;

    ~Session() {
        if (conn) conn->end(0);
    }
};

template <class T>
T must(grfs_client::Result<T> r, const std::string& what) {
    if (!r.ok()) die(what + ": " + r.error().text);
    return std::move(*r);
}

std::unique_ptr<Session> open_session(const AgentProcess& agent, const std::string& dle) {
    auto s = std::make_unique<Session>();
    const std::vector<pid_t> before = children_of(agent.pid);
    s->conn = std::make_unique<grfs_client::Connection>(
        must(grfs_client::Connection::open(grfs_client::Endpoint{agent.host, agent.port}), "session open"));
    s->pid = new_session_process(agent, before);
    if (!dle.empty()) {
        auto ws = must(grfs_client::attach_workstation(*s->conn, agent.workstation, ""), "workstation attach");
        auto d = must(grfs_client::attach_dle(*s->conn, ws.dle_id, dle, ""), "attach of " + dle);
        s->dle = d.dle_id;
    }
    set_blocking(s->conn->fd());
    s->wire = std::make_unique<WireSession>(s->conn->fd());
    return s;
}

void change_dir(Session& s, const std::string& path) {
    grfs_client::Status st = grfs_client::change_dir(*s.conn, s.dle, path);
    if (!st.ok()) die("change to " + path + ": " + st.text);
}

// The DBLK of a find reply (after `more` and two reserved bytes).
std::vector<unsigned char> reply_dblk(const WireReply& r) {
    if (r.body_len < 4) die("find reply without a block");
    return std::vector<unsigned char>(r.body + 4, r.body + r.body_len);
}

// The block of name in the current directory of the session.
std::vector<unsigned char> find_object(Session& s, const std::string& name) {
    WireSession& w = *s.wire;
    WireReply r = w.transact(kFindFirstObj, build_find_first(w.body(), s.dle));
    while (r.retcode == 0) {
        std::vector<unsigned char> dblk = reply_dblk(r);
        auto parsed = grfs_client::Dblk::from_wire(dblk);
        if (parsed.ok() && parsed->text() == name) return dblk;
        r = w.transact(kFindNextObj, build_dblk_request(w.body(), s.dle, dblk.data(), dblk.size()));
    }
    die(name + " not found in the export");
}

uint32_t open_object(WireSession& w, uint32_t dle, uint16_t mode, const std::vector<unsigned char>& dblk) {
    WireReply r = w.transact(kOpenObj, build_open(w.body(), dle, mode, dblk.data(), dblk.size()));
    if (r.retcode != 0 || r.body_len < 4) die("open failed with retcode " + std::to_string(r.retcode));
    return get32(r.body);
}

void close_object(WireSession& w, uint32_t obj) {
    WireReply r = w.transact(kCloseObj, build_close(w.body(), obj));
    if (r.retcode != 0) die("close failed with retcode " + std::to_string(r.retcode));
}

// Runs the agent side and the yardstick in the order asked.
void both(bool agent_first, const std::function<void()>& agent, const std::function<void()>& yardstick) {
    if (agent_first) {
        agent();
        yardstick();
    } else {
        yardstick();
        agent();
    }
}

void bulk_backup(const BenchSetup& setup, bool agent_first, RunResults& out) {
    long reads = 0;
    both(
        agent_first,
        [&] {
            auto s = open_session(setup.agent, setup.agent.data_dle);
            WireSession& w = *s->wire;
            const std::vector<unsigned char> dblk = find_object(*s, setup.data.big_name);
            const CpuTimes cpu0 = cpu_times(s->pid);
            const auto start = Clock::now();
            const uint32_t obj = open_object(w, s->dle, kOpenRead, dblk);
            uint64_t offset = 0;
            for (;;) {
                WireReply r = w.transact(kReadObjLarge, build_read_large(w.body(), obj, kObjectBuffer, offset));
                if (r.retcode != 0 && r.retcode != kEndOfData) die("read failed with retcode " + std::to_string(r.retcode));
                const uint32_t n = get32(r.body);
                if (r.body_len != 24 + n) die("read reply of the wrong length");
                offset += n;
                ++reads;
                if (r.retcode == kEndOfData) break;
                if (n == 0) die("read returned no bytes before the end");
            }
            close_object(w, obj);
            const double t = seconds_since(start);
            if (offset != kBigFileSize) die("backup read " + std::to_string(offset) + " bytes");
            out["backup_agent_mbps"] = static_cast<double>(offset) / 1e6 / t;
            out["backup_agent_cpu_us"] = (cpu_times(s->pid).run_ns - cpu0.run_ns) / 1e3 / static_cast<double>(reads);
            out["mem_session_backup_kib"] = static_cast<double>(vm_hwm_kib(s->pid));
        },
        [&] {
            const long n = static_cast<long>((kBigFileSize + kObjectBuffer - 1) / kObjectBuffer);
            double cpu = 0;
            const double t = measure_pingpong(setup.pingpong_binary,
                                              {{kNrlHeader + kGrfsHeader + 16, kNrlHeader + kGrfsHeader + 24 + kObjectBuffer}}, n, &cpu);
            out["backup_pingpong_mbps"] = static_cast<double>(n) * kObjectBuffer / 1e6 / t;
            out["backup_pingpong_cpu_us"] = cpu / 1e3 / static_cast<double>(n);
        });
    out["backup_reads"] = static_cast<double>(reads);
}

void bulk_restore(const BenchSetup& setup, bool agent_first, RunResults& out) {
    const std::string target = setup.data.restore + "/" + setup.data.big_name;
    both(
        agent_first,
        [&] {
            std::vector<unsigned char> dblk;
            {
                auto src = open_session(setup.agent, setup.agent.data_dle);
                dblk = find_object(*src, setup.data.big_name);
            }
            unlink(target.c_str());
            auto s = open_session(setup.agent, setup.agent.restore_dle);
            WireSession& w = *s->wire;
            WireReply c = w.transact(kCreateObj, build_dblk_request(w.body(), s->dle, dblk.data(), dblk.size()));
            if (c.retcode != 0) die("create failed with retcode " + std::to_string(c.retcode));
            // The data bytes stay where they are; only the header changes.
            uint64_t state = 0x2545F4914F6CDD1Dull;
            for (uint32_t i = 0; i + 8 <= kObjectBuffer; i += 8) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                std::memcpy(w.body() + 32 + i, &state, 8);
            }
            const CpuTimes cpu0 = cpu_times(s->pid);
            const auto start = Clock::now();
            const uint32_t obj = open_object(w, s->dle, kOpenWrite, dblk);
            uint64_t offset = 0;
            while (offset < kBigFileSize) {
                const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kObjectBuffer, kBigFileSize - offset));
                const bool first = offset == 0;
                WireReply r = w.transact(kWriteObjLarge, build_write_large(w.body(), obj, offset, first ? kStreamStandard : 0,
                                                                            first ? kBigFileSize : 0, n));
                if (r.retcode != 0 || r.body_len < 8 || get32(r.body) != n || get32(r.body + 4) != 1)
                    die("write failed with retcode " + std::to_string(r.retcode));
                offset += n;
            }
            close_object(w, obj);
            const double t = seconds_since(start);
            struct stat st{};
            if (stat(target.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != kBigFileSize)
                die("the restored file has the wrong size");
            // Removed before write-back starts, so the disk stays quiet.
            unlink(target.c_str());
            out["restore_agent_mbps"] = static_cast<double>(offset) / 1e6 / t;
            out["restore_agent_cpu_us"] =
                (cpu_times(s->pid).run_ns - cpu0.run_ns) / 1e3 / static_cast<double>((offset + kObjectBuffer - 1) / kObjectBuffer);
        },
        [&] {
            const long n = static_cast<long>((kBigFileSize + kObjectBuffer - 1) / kObjectBuffer);
            double cpu = 0;
            const double t = measure_pingpong(
                setup.pingpong_binary, {{kNrlHeader + kGrfsHeader + 32 + kObjectBuffer, kNrlHeader + kGrfsHeader + 8}}, n, &cpu);
            out["restore_pingpong_mbps"] = static_cast<double>(n) * kObjectBuffer / 1e6 / t;
            out["restore_pingpong_cpu_us"] = cpu / 1e3 / static_cast<double>(n);
        });
}

void smallest_round_trip(const BenchSetup& setup, bool agent_first, RunResults& out) {
    const long n = setup.verify_round_trips;
    both(
        agent_first,
        [&] {
            auto s = open_session(setup.agent, "");
            WireSession& w = *s->wire;
            const CpuTimes cpu0 = cpu_times(s->pid);
            const auto start = Clock::now();
            for (long i = 0; i < n; ++i) {
                WireReply r = w.transact(kVerifyObj, build_verify(w.body(), 0));
                if (r.retcode != 0) die("verify failed");
            }
            out["verify_agent_rps"] = static_cast<double>(n) / seconds_since(start);
            out["verify_agent_cpu_us"] = (cpu_times(s->pid).run_ns - cpu0.run_ns) / 1e3 / static_cast<double>(n);
        },
        [&] {
            double cpu = 0;
            const double t = measure_pingpong(setup.pingpong_binary,
                                              {{kNrlHeader + kGrfsHeader + 28, kNrlHeader + kGrfsHeader + 4}}, n, &cpu);
            out["verify_pingpong_rps"] = static_cast<double>(n) / t;
            out["verify_pingpong_cpu_us"] = cpu / 1e3 / static_cast<double>(n);
        });
}

void small_files(const BenchSetup& setup, bool agent_first, RunResults& out) {
    both(
        agent_first,
        [&] {
            auto s = open_session(setup.agent, setup.agent.data_dle);
            change_dir(*s, setup.data.small_dir);
            WireSession& w = *s->wire;
            int files = 0;
            const CpuTimes cpu0 = cpu_times(s->pid);
            const auto start = Clock::now();
            WireReply r = w.transact(kFindFirstObj, build_find_first(w.body(), s->dle));
            std::vector<unsigned char> dblk;
            while (r.retcode == 0) {
                dblk.assign(r.body + 4, r.body + r.body_len);
                WireReply o = w.transact(kOpenObj, build_open(w.body(), s->dle, kOpenRead, dblk.data(), dblk.size()));
                if (o.retcode != 0) die("open of a small file failed with retcode " + std::to_string(o.retcode));
                const uint32_t obj = get32(o.body);
                WireReply d = w.transact(kReadObjLarge, build_read_large(w.body(), obj, kObjectBuffer, 0));
                if (d.retcode != kEndOfData || get32(d.body) != kSmallFileSize) die("a small file did not read whole");
                close_object(w, obj);
                ++files;
                r = w.transact(kFindNextObj, build_dblk_request(w.body(), s->dle, dblk.data(), dblk.size()));
            }
            const double t = seconds_since(start);
            if (r.retcode != kNoMoreObjects) die("listing of the small files failed with retcode " + std::to_string(r.retcode));
            if (files != kSmallFiles) die("found " + std::to_string(files) + " small files");
            out["small_agent_fps"] = files / t;
            out["small_agent_cpu_us"] = (cpu_times(s->pid).run_ns - cpu0.run_ns) / 1e3 / (4.0 * files);
        },
        [&] {
            double cpu = 0;
            const double t = measure_pingpong(setup.pingpong_binary, setup.small_file_pattern, 4L * kSmallFiles, &cpu);
            out["small_bound_fps"] = kSmallFiles / t;
            out["small_pingpong_cpu_us"] = cpu / 1e3 / (4.0 * kSmallFiles);
        });
}

double list_directory(Session& s, int expected) {
    WireSession& w = *s.wire;
    int n = 0;
    const auto start = Clock::now();
    WireReply r = w.transact(kFindFirstObj, build_find_first(w.body(), s.dle));
    std::vector<unsigned char> dblk;
    while (r.retcode == 0) {
        dblk.assign(r.body + 4, r.body + r.body_len);
        ++n;
        r = w.transact(kFindNextObj, build_dblk_request(w.body(), s.dle, dblk.data(), dblk.size()));
    }
    const double t = seconds_since(start);
    if (r.retcode != kNoMoreObjects) die("listing failed with retcode " + std::to_string(r.retcode));
    if (n != expected) die("listed " + std::to_string(n) + " entries of " + std::to_string(expected));
    return t;
}

void listing(const BenchSetup& setup, bool agent_first, RunResults& out) {
    both(
        agent_first,
        [&] {
            double t_small = 0, t_large = 0;
            {
                auto s = open_session(setup.agent, setup.agent.data_dle);
                change_dir(*s, setup.data.list_small_dir);
                t_small = list_directory(*s, kListSmall);
            }
            {
                auto s = open_session(setup.agent, setup.agent.data_dle);
                change_dir(*s, setup.data.list_large_dir);
                t_large = list_directory(*s, kListLarge);
                out["mem_session_list_kib"] = static_cast<double>(vm_hwm_kib(s->pid));
            }
            out["list2k_agent_eps"] = kListSmall / t_small;
            out["list20k_agent_eps"] = kListLarge / t_large;
            out["list_time_ratio"] = t_large / t_small;
        },
        [&] {
            const double t = measure_pingpong(setup.pingpong_binary, setup.listing_pattern, kListLarge);
            out["list_bound_eps"] = kListLarge / t;
        });
}

}  // namespace

RunResults run_once(const BenchSetup& setup, bool agent_first) {
    RunResults out;
    auto wanted = [&](const char* name) {
        return setup.only.empty() || std::find(setup.only.begin(), setup.only.end(), name) != setup.only.end();
    };
    if (wanted("backup")) bulk_backup(setup, agent_first, out);
    if (wanted("restore")) bulk_restore(setup, agent_first, out);
    if (wanted("verify")) smallest_round_trip(setup, agent_first, out);
    if (wanted("small")) small_files(setup, agent_first, out);
    if (wanted("listing")) listing(setup, agent_first, out);
    if (setup.with_tar && setup.only.empty()) tar_reference(setup.data, out);
    return out;
}

void probe_exchange_sizes(BenchSetup& setup) {
    {
        auto s = open_session(setup.agent, setup.agent.data_dle);
        change_dir(*s, setup.data.small_dir);
        WireSession& w = *s->wire;
        // The second file: its find is a GRFS_FIND_NEXT_OBJ, as for all but the first.
        WireReply r = w.transact(kFindFirstObj, build_find_first(w.body(), s->dle));
        std::vector<unsigned char> dblk = reply_dblk(r);
        r = w.transact(kFindNextObj, build_dblk_request(w.body(), s->dle, dblk.data(), dblk.size()));
        if (r.retcode != 0) die("the small-file directory holds a single file");
        std::vector<Exchange> p;
        p.push_back({static_cast<uint32_t>(w.last_request_wire()), static_cast<uint32_t>(r.wire_len)});
        dblk = reply_dblk(r);
        WireReply o = w.transact(kOpenObj, build_open(w.body(), s->dle, kOpenRead, dblk.data(), dblk.size()));
        if (o.retcode != 0) die("open of a small file failed with retcode " + std::to_string(o.retcode));
        p.push_back({static_cast<uint32_t>(w.last_request_wire()), static_cast<uint32_t>(o.wire_len)});
        const uint32_t obj = get32(o.body);
        WireReply d = w.transact(kReadObjLarge, build_read_large(w.body(), obj, kObjectBuffer, 0));
        p.push_back({static_cast<uint32_t>(w.last_request_wire()), static_cast<uint32_t>(d.wire_len)});
        WireReply c = w.transact(kCloseObj, build_close(w.body(), obj));
        p.push_back({static_cast<uint32_t>(w.last_request_wire()), static_cast<uint32_t>(c.wire_len)});
        setup.small_file_pattern = p;
    }
    {
        auto s = open_session(setup.agent, setup.agent.data_dle);
        change_dir(*s, setup.data.list_large_dir);
        WireSession& w = *s->wire;
        WireReply r = w.transact(kFindFirstObj, build_find_first(w.body(), s->dle));
        std::vector<unsigned char> dblk = reply_dblk(r);
        r = w.transact(kFindNextObj, build_dblk_request(w.body(), s->dle, dblk.data(), dblk.size()));
        setup.listing_pattern = {{static_cast<uint32_t>(w.last_request_wire()), static_cast<uint32_t>(r.wire_len)}};
    }
}

void add_listener_memory(const BenchSetup& setup, RunResults& results) {
    results["mem_listener_kib"] = static_cast<double>(vm_hwm_kib(setup.agent.pid));
}

}  // namespace bench
