#include "bench/scenarios.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
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
#include "bench/round_trip.h"
#include "bench/slicing.h"
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

// The reply to the second find in the session's current directory: a
// GRFS_FIND_NEXT_OBJ, as the find of every entry but the first is.
WireReply find_second(Session& s) {
    WireSession& w = *s.wire;
    WireReply r = w.transact(kFindFirstObj, build_find_first(w.body(), s.dle));
    std::vector<unsigned char> dblk = reply_dblk(r);
    return w.transact(kFindNextObj, build_dblk_request(w.body(), s.dle, dblk.data(), dblk.size()));
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

// Agent and yardstick are measured in slices of the same work, taken in
// the order of slice_order, so that a change of load or speed of the
// machine falls on both alike. sides[k](slice) measures side k once and
// returns the seconds it took; the result is each side's sum.
std::vector<double> interleave(int slices, bool forward_first, const std::vector<std::function<double(int)>>& sides) {
    std::vector<double> total(sides.size(), 0.0);
    for (int i = 0; i < slices; ++i) {
        for (int k : slice_order(static_cast<int>(sides.size()), i, forward_first)) total[k] += sides[k](i);
    }
    return total;
}

// The priorities a row ran at, for the report.
void note_priorities(RunResults& out, const std::string& row, pid_t session, const PingPong& pp) {
    out[row + "_nice_session"] = nice_of(session);
    out[row + "_nice_server"] = pp.server_nice();
    out[row + "_nice_client"] = nice_of(0);
}

double cpu_us(pid_t pid, const CpuTimes& start, double operations) {
    return (cpu_times(pid).run_ns - start.run_ns) / 1e3 / operations;
}

// Blocks of kObjectBuffer in the 256 MiB file, the last one short.
constexpr long kBigFileBlocks = static_cast<long>((kBigFileSize + kObjectBuffer - 1) / kObjectBuffer);

// One whole backup of an object, open to close; the bytes read. reads, when
// given, counts the read requests.
// think_ns, when given, is waited after each reply before the next request:
// the server's and the network's share of a round trip.
uint64_t backup_whole(WireSession& w, uint32_t dle, const std::vector<unsigned char>& dblk, long* reads = nullptr,
                      long think_ns = 0) {
    const uint32_t obj = open_object(w, dle, kOpenRead, dblk);
    const timespec think{0, think_ns};
    uint64_t offset = 0;
    for (;;) {
        if (think_ns > 0 && offset > 0) clock_nanosleep(CLOCK_MONOTONIC, 0, &think, nullptr);
        WireReply r = w.transact(kReadObjLarge, build_read_large(w.body(), obj, kObjectBuffer, offset));
        if (r.retcode != 0 && r.retcode != kEndOfData) die("read failed with retcode " + std::to_string(r.retcode));
        const uint32_t got = get32(r.body);
        if (r.body_len != 24 + got) die("read reply of the wrong length");
        offset += got;
        if (reads != nullptr) ++*reads;
        if (r.retcode == kEndOfData) break;
        if (got == 0) die("read returned no bytes before the end");
    }
    close_object(w, obj);
    return offset;
}

// Each slice backs up the 256 MiB file whole, open to close, against as
// many ping-pong round trips as it has blocks.
void bulk_backup(const BenchSetup& setup, bool agent_first, RunResults& out) {
    auto s = open_session(setup.agent, setup.agent.data_dle);
    WireSession& w = *s->wire;
    const std::vector<unsigned char> dblk = find_object(*s, setup.data.big_name);
    PingPong pp(setup.pingpong, {{kNrlHeader + kGrfsHeader + 16, kNrlHeader + kGrfsHeader + 24 + kObjectBuffer}});
    const CpuTimes cpu0 = cpu_times(s->pid);
    long reads = 0;
    const std::vector<double> t = interleave(
        kSlices, agent_first,
        {[&](int) {
             const auto start = Clock::now();
             if (backup_whole(w, s->dle, dblk, &reads) != kBigFileSize) die("a backup of the wrong length");
             return seconds_since(start);
         },
         [&](int) { return pp.run(kBigFileBlocks); }});
    note_priorities(out, "backup", s->pid, pp);
    out["backup_agent_mbps"] = static_cast<double>(kBigFileSize) * kSlices / 1e6 / t[0];
    out["backup_pingpong_mbps"] = static_cast<double>(kBigFileBlocks) * kObjectBuffer * kSlices / 1e6 / t[1];
    out["backup_agent_cpu_us"] = cpu_us(s->pid, cpu0, static_cast<double>(reads));
    out["backup_pingpong_cpu_us"] = pp.server_cpu_ns() / 1e3 / (static_cast<double>(kBigFileBlocks) * kSlices);
    out["mem_session_backup_kib"] = static_cast<double>(vm_hwm_kib(s->pid));
}

// The sparse file backed up whole against the file of data of the same
// length, slice by slice in one session: what finding the holes saves.
void sparse_backup(const BenchSetup& setup, bool agent_first, RunResults& out) {
    auto s = open_session(setup.agent, setup.agent.data_dle);
    WireSession& w = *s->wire;
    const std::vector<unsigned char> sparse = find_object(*s, setup.data.sparse_name);
    const std::vector<unsigned char> dense = find_object(*s, setup.data.big_name);
    auto timed = [&](const std::vector<unsigned char>& dblk) {
        const auto start = Clock::now();
        if (backup_whole(w, s->dle, dblk) != kBigFileSize) die("a backup of the wrong length");
        return seconds_since(start);
    };
    const std::vector<double> t =
        interleave(kSlices, agent_first, {[&](int) { return timed(sparse); }, [&](int) { return timed(dense); }});
    out["sparse_backup_mbps"] = static_cast<double>(kBigFileSize) * kSlices / 1e6 / t[0];
    out["sparse_dense_mbps"] = static_cast<double>(kBigFileSize) * kSlices / 1e6 / t[1];
}

// One whole restore of the 256 MiB file into the session's directory, open
// to close, from the data at w.body() + 32; the create before it is not
// timed. Seconds taken.
double restore_whole(WireSession& w, uint32_t dle, const std::vector<unsigned char>& dblk) {
    WireReply c = w.transact(kCreateObj, build_dblk_request(w.body(), dle, dblk.data(), dblk.size()));
    if (c.retcode != 0) die("create failed with retcode " + std::to_string(c.retcode));
    const auto start = Clock::now();
    const uint32_t obj = open_object(w, dle, kOpenWrite, dblk);
    for (uint64_t offset = 0; offset < kBigFileSize;) {
        const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(kObjectBuffer, kBigFileSize - offset));
        const bool first = offset == 0;
        WireReply r = w.transact(kWriteObjLarge, build_write_large(w.body(), obj, offset, first ? kStreamStandard : 0,
                                                                    first ? kBigFileSize : 0, len));
        if (r.retcode != 0 || r.body_len < 8 || get32(r.body) != len || get32(r.body + 4) != 1)
            die("write failed with retcode " + std::to_string(r.retcode));
        offset += len;
    }
    close_object(w, obj);
    return seconds_since(start);
}

// Removes a restored file and checks its size first.
void remove_restored(const std::string& path) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != kBigFileSize)
        die(path + " has the wrong size");
    // Removed before write-back starts, so the disk stays quiet.
    unlink(path.c_str());
}

// CPU time of the calling thread, nanoseconds.
double thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// Each slice restores the 256 MiB file whole into a new file, against as
// many ping-pong round trips as it has blocks followed by the write(2) of
// as many blocks into a new file (the serial bound), and against the same
// file copied by tar -c | socket | tar -x (unless tar is left out).
void bulk_restore(const BenchSetup& setup, bool agent_first, RunResults& out) {
    const std::string target = setup.data.restore + "/" + setup.data.big_name;
    const long n = kBigFileBlocks;
    std::vector<unsigned char> dblk;
    {
        auto src = open_session(setup.agent, setup.agent.data_dle);
        dblk = find_object(*src, setup.data.big_name);
    }
    unlink(target.c_str());
    auto s = open_session(setup.agent, setup.agent.restore_dle);
    WireSession& w = *s->wire;
    // The data bytes stay where they are; only the header changes.
    uint64_t state = 0x2545F4914F6CDD1Dull;
    for (uint32_t i = 0; i + 8 <= kObjectBuffer; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(w.body() + 32 + i, &state, 8);
    }
    PingPong pp(setup.pingpong, {{kNrlHeader + kGrfsHeader + 32 + kObjectBuffer, kNrlHeader + kGrfsHeader + 8}});
    const std::string raw_path = setup.data.restore + "/raw-write.bin";
    unlink(raw_path.c_str());
    double t_write = 0;
    double write_cpu_ns = 0;
    int tar_nice = 0;
    std::vector<std::function<double(int)>> sides = {
        [&](int) {
            const double t = restore_whole(w, s->dle, dblk);
            remove_restored(target);
            return t;
        },
        [&](int) {
            const double t = pp.run(n);
            // The same blocks written with write(2) alone, for the serial
            // bound: a write reply reports the outcome of its write, so a
            // restore can go no faster than the round trip plus the write.
            const int raw_fd = open(raw_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (raw_fd < 0) die("cannot create " + raw_path);
            const auto start = Clock::now();
            const double cpu_start = thread_cpu_ns();
            for (long k = 0; k < n; ++k) {
                if (write(raw_fd, w.body() + 32, kObjectBuffer) != static_cast<ssize_t>(kObjectBuffer))
                    die("cannot write " + raw_path);
            }
            write_cpu_ns += thread_cpu_ns() - cpu_start;
            t_write += seconds_since(start);
            close(raw_fd);
            unlink(raw_path.c_str());
            return t;
        }};
    if (setup.with_tar) sides.push_back([&](int) { return tar_restore_copy(setup.data, &tar_nice); });
    const CpuTimes cpu0 = cpu_times(s->pid);
    const std::vector<double> t = interleave(kSlices, agent_first, sides);
    note_priorities(out, "restore", s->pid, pp);
    const double blocks = static_cast<double>(n) * kSlices;
    out["restore_serial_bound_mbps"] = blocks * kObjectBuffer / 1e6 / (t[1] + t_write);
    out["restore_write_mbps"] = blocks * kObjectBuffer / 1e6 / t_write;
    out["restore_agent_mbps"] = static_cast<double>(kBigFileSize) * kSlices / 1e6 / t[0];
    out["restore_pingpong_mbps"] = blocks * kObjectBuffer / 1e6 / t[1];
    out["restore_agent_cpu_us"] = cpu_us(s->pid, cpu0, blocks);
    out["restore_pingpong_cpu_us"] = pp.server_cpu_ns() / 1e3 / blocks;
    out["restore_write_cpu_us"] = write_cpu_ns / 1e3 / blocks;
    out["restore_bound_cpu_us"] = out["restore_pingpong_cpu_us"] + out["restore_write_cpu_us"];
    if (setup.with_tar) {
        out["restore_tar_mbps"] = static_cast<double>(kBigFileSize) * kSlices / 1e6 / t[2];
        out["restore_tar_nice"] = tar_nice;
    }
}

void smallest_round_trip(const BenchSetup& setup, bool agent_first, RunResults& out) {
    const long n = setup.verify_round_trips;
    auto s = open_session(setup.agent, "");
    WireSession& w = *s->wire;
    PingPong pp(setup.pingpong, {{kNrlHeader + kGrfsHeader + 28, kNrlHeader + kGrfsHeader + 4}});
    const CpuTimes cpu0 = cpu_times(s->pid);
    const std::vector<double> t = interleave(
        kSlices, agent_first,
        {[&](int) {
             const auto start = Clock::now();
             for (long k = 0; k < n; ++k) {
                 WireReply r = w.transact(kVerifyObj, build_verify(w.body(), 0));
                 if (r.retcode != 0) die("verify failed");
             }
             return seconds_since(start);
         },
         [&](int) { return pp.run(n); }});
    note_priorities(out, "verify", s->pid, pp);
    const double trips = static_cast<double>(n) * kSlices;
    out["verify_agent_rps"] = trips / t[0];
    out["verify_pingpong_rps"] = trips / t[1];
    out["verify_agent_cpu_us"] = cpu_us(s->pid, cpu0, trips);
    out["verify_pingpong_cpu_us"] = pp.server_cpu_ns() / 1e3 / trips;
}

// One pass over the small files: find, open, read whole and close each.
// The number of files.
int read_small_files(Session& s) {
    WireSession& w = *s.wire;
    int files = 0;
    WireReply r = w.transact(kFindFirstObj, build_find_first(w.body(), s.dle));
    std::vector<unsigned char> dblk;
    while (r.retcode == 0) {
        dblk.assign(r.body + 4, r.body + r.body_len);
        WireReply o = w.transact(kOpenObj, build_open(w.body(), s.dle, kOpenRead, dblk.data(), dblk.size()));
        if (o.retcode != 0) die("open of a small file failed with retcode " + std::to_string(o.retcode));
        const uint32_t obj = get32(o.body);
        WireReply d = w.transact(kReadObjLarge, build_read_large(w.body(), obj, kObjectBuffer, 0));
        if (d.retcode != kEndOfData || get32(d.body) != kSmallFileSize) die("a small file did not read whole");
        close_object(w, obj);
        ++files;
        r = w.transact(kFindNextObj, build_dblk_request(w.body(), s.dle, dblk.data(), dblk.size()));
    }
    if (r.retcode != kNoMoreObjects) die("listing of the small files failed with retcode " + std::to_string(r.retcode));
    return files;
}

// Each slice reads all the small files, against four ping-pong round trips
// per file.
void small_files(const BenchSetup& setup, bool agent_first, RunResults& out) {
    auto s = open_session(setup.agent, setup.agent.data_dle);
    change_dir(*s, setup.data.small_dir);
    PingPong pp(setup.pingpong, setup.small_file_pattern);
    const CpuTimes cpu0 = cpu_times(s->pid);
    const std::vector<double> t = interleave(
        kSlices, agent_first,
        {[&](int) {
             const auto start = Clock::now();
             const int files = read_small_files(*s);
             const double seconds = seconds_since(start);
             if (files != kSmallFiles) die("found " + std::to_string(files) + " small files");
             return seconds;
         },
         [&](int) { return pp.run(4L * kSmallFiles); }});
    note_priorities(out, "small", s->pid, pp);
    const double files = static_cast<double>(kSmallFiles) * kSlices;
    out["small_agent_fps"] = files / t[0];
    out["small_bound_fps"] = files / t[1];
    out["small_agent_cpu_us"] = cpu_us(s->pid, cpu0, 4.0 * files);
    out["small_pingpong_cpu_us"] = pp.server_cpu_ns() / 1e3 / (4.0 * files);
}

// A directory listing in progress: GRFS_FIND_FIRST_OBJ, then
// GRFS_FIND_NEXT_OBJ with the block last returned.
struct Listing {
    explicit Listing(Session& session) : s(session) {}
    Session& s;
    bool started = false;
    bool ended = false;
    int entries = 0;
    std::vector<unsigned char> dblk;

    // Lists up to count entries (all that are left when count is negative).
    void step(long count) {
        WireSession& w = *s.wire;
        for (long k = 0; !ended && (count < 0 || k < count); ++k) {
            WireReply r = started ? w.transact(kFindNextObj, build_dblk_request(w.body(), s.dle, dblk.data(), dblk.size()))
                                  : w.transact(kFindFirstObj, build_find_first(w.body(), s.dle));
            started = true;
            if (r.retcode == kNoMoreObjects) {
                ended = true;
            } else if (r.retcode != 0) {
                die("listing failed with retcode " + std::to_string(r.retcode));
            } else {
                dblk.assign(r.body + 4, r.body + r.body_len);
                ++entries;
            }
        }
    }
};

void listing(const BenchSetup& setup, bool agent_first, RunResults& out) {
    // The large directory is listed in ten slices of 2,000 entries, each
    // beside one whole listing of the small directory and 2,000 ping-pong
    // round trips, so that all take the same time under the same load: the
    // ratio of the listings is that of the work.
    constexpr int kRounds = kListLarge / kListSmall;
    static_assert(kRounds % 2 == 0, "the slices go in pairs");
    auto small = open_session(setup.agent, setup.agent.data_dle);
    change_dir(*small, setup.data.list_small_dir);
    auto large = open_session(setup.agent, setup.agent.data_dle);
    change_dir(*large, setup.data.list_large_dir);
    PingPong pp(setup.pingpong, setup.listing_pattern);
    Listing big(*large);
    const std::vector<double> t = interleave(
        kRounds, agent_first,
        {[&](int) {
             Listing l(*small);
             const auto start = Clock::now();
             l.step(-1);
             const double seconds = seconds_since(start);
             if (l.entries != kListSmall)
                 die("listed " + std::to_string(l.entries) + " entries of " + std::to_string(kListSmall));
             return seconds;
         },
         [&](int i) {
             const auto start = Clock::now();
             // The last slice also takes the reply that ends the listing.
             big.step(i == kRounds - 1 ? -1 : kListSmall);
             return seconds_since(start);
         },
         [&](int) { return pp.run(kListSmall); }});
    if (big.entries != kListLarge) die("listed " + std::to_string(big.entries) + " entries of " + std::to_string(kListLarge));
    note_priorities(out, "listing", large->pid, pp);
    out["mem_session_list_kib"] = static_cast<double>(vm_hwm_kib(large->pid));
    out["list2k_agent_eps"] = static_cast<double>(kRounds) * kListSmall / t[0];
    out["list20k_agent_eps"] = kListLarge / t[1];
    out["list_time_ratio"] = t[1] / (t[0] / kRounds);
    out["list_bound_eps"] = static_cast<double>(kRounds) * kListSmall / t[2];
}

// Reads a file whole, so that it is in the page cache.
void read_through(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot open " + path);
    std::vector<unsigned char> buf(1 << 20);
    while (read(fd, buf.data(), buf.size()) > 0) {
    }
    close(fd);
}

constexpr long kThinkTimesUs[] = {0, 50, 100, 200};

// The 256 MiB file backed up by a session process whose disk reads are
// throttled below the wire's speed, with a think time per round trip in the
// client: cold (the file dropped from the page cache first) against warm
// (the file in the cache) at each think time, and against the disk alone
// (the file read whole by a process of the same group), all interleaved.
// The bound of each think time is the slower of its warm backup and the
// disk alone: 100% means the disk's time is wholly hidden behind the wire.
void cold_backup(const BenchSetup& setup, bool agent_first, RunResults& out) {
    ThrottledDisk& disk = *setup.disk;
    const std::string path = setup.data.data + "/" + setup.data.big_name;
    // Sleeps as asked, not up to the default 50 µs later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    // The session process is forked in the group and stays there.
    if (!disk.enter(setup.agent.pid)) die("cannot move the agent into the throttled group");
    auto s = open_session(setup.agent, setup.agent.data_dle);
    disk.leave(setup.agent.pid);
    WireSession& w = *s->wire;
    const std::vector<unsigned char> dblk = find_object(*s, setup.data.big_name);
    std::vector<std::function<double(int)>> sides;
    for (long think_us : kThinkTimesUs) {
        sides.push_back([&, think_us](int) {
            if (!drop_cached(path)) die("cannot drop " + path + " from the page cache");
            const auto start = Clock::now();
            if (backup_whole(w, s->dle, dblk, nullptr, think_us * 1000) != kBigFileSize) die("a backup of the wrong length");
            return seconds_since(start);
        });
        sides.push_back([&, think_us](int) {
            read_through(path);
            const auto start = Clock::now();
            if (backup_whole(w, s->dle, dblk, nullptr, think_us * 1000) != kBigFileSize) die("a backup of the wrong length");
            return seconds_since(start);
        });
    }
    sides.push_back([&](int) { return read_cold(disk, path); });
    const int slices = 2;
    const std::vector<double> t = interleave(slices, agent_first, sides);
    const double mb = static_cast<double>(kBigFileSize) * slices / 1e6;
    const double disk_s = t.back();
    out["cold_disk_mbps"] = mb / disk_s;
    for (size_t k = 0; k < std::size(kThinkTimesUs); ++k) {
        const std::string key = "cold_think" + std::to_string(kThinkTimesUs[k]);
        out[key + "_cold_mbps"] = mb / t[2 * k];
        out[key + "_warm_mbps"] = mb / t[2 * k + 1];
        out[key + "_bound_mbps"] = mb / std::max(t[2 * k + 1], disk_s);
    }
    out["cold_nice_session"] = nice_of(s->pid);
    out["cold_nice_client"] = nice_of(0);
}

}  // namespace

RunResults run_once(const BenchSetup& setup, bool agent_first, bool heavy) {
    RunResults out;
    auto wanted = [&](const char* name) {
        return setup.only.empty() || std::find(setup.only.begin(), setup.only.end(), name) != setup.only.end();
    };
    if (wanted("backup")) bulk_backup(setup, agent_first, out);
    if (wanted("sparse")) sparse_backup(setup, agent_first, out);
    if (wanted("restore")) bulk_restore(setup, agent_first, out);
    if (wanted("verify")) smallest_round_trip(setup, agent_first, out);
    if (wanted("small")) small_files(setup, agent_first, out);
    if (wanted("listing")) listing(setup, agent_first, out);
    if (wanted("etc")) tree_round_trip(setup, setup.trees.etc, setup.agent.etc_tree_dle, "etc", kSlices, agent_first, out);
    if (wanted("host") && heavy)
        tree_round_trip(setup, setup.trees.host, setup.agent.host_tree_dle, "host", setup.tree_slices, agent_first, out);
    if (wanted("cold") && heavy && setup.disk != nullptr) cold_backup(setup, agent_first, out);
    if (setup.with_tar && setup.only.empty()) tar_reference(setup.data, out);
    return out;
}

int session_nice(const BenchSetup& setup) {
    auto s = open_session(setup.agent, "");
    // Read after a reply: the process takes its priority when it starts serving.
    if (s->wire->transact(kVerifyObj, build_verify(s->wire->body(), 0)).retcode != 0) die("verify failed");
    return nice_of(s->pid);
}

void probe_exchange_sizes(BenchSetup& setup) {
    {
        auto s = open_session(setup.agent, setup.agent.data_dle);
        change_dir(*s, setup.data.small_dir);
        WireSession& w = *s->wire;
        WireReply r = find_second(*s);
        if (r.retcode != 0) die("the small-file directory holds a single file");
        std::vector<Exchange> p;
        p.push_back({static_cast<uint32_t>(w.last_request_wire()), static_cast<uint32_t>(r.wire_len)});
        std::vector<unsigned char> dblk = reply_dblk(r);
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
        WireReply r = find_second(*s);
        setup.listing_pattern = {{static_cast<uint32_t>(s->wire->last_request_wire()), static_cast<uint32_t>(r.wire_len)}};
    }
}

void add_listener_facts(const BenchSetup& setup, RunResults& results) {
    results["mem_listener_kib"] = static_cast<double>(vm_hwm_kib(setup.agent.pid));
    results["nice_listener"] = nice_of(setup.agent.pid);
}

}  // namespace bench
