#include "bench/report.h"

#include <cmath>
#include <sstream>

#include "bench/bench_util.h"

namespace bench {

namespace {

enum class Target {
    none,         // for information
    ratio_min,    // agent / yardstick at least the limit, shown in percent
    ratio_max,    // agent / yardstick at most the limit, shown as a factor
    value_max,    // the value at most the limit
    value_below,  // the value below the limit
};

struct Row {
    const char* key;  // JSON name
    const char* title;
    const char* unit;
    const char* agent;
    const char* yardstick;  // nullptr: none
    double scale;           // applied to both figures
    int decimals;
    Target target;
    double limit;
    const char* yardstick_title;
    const char* note = "";  // the target column of a row without a limit
};

constexpr double kKiBToMiB = 1.0 / 1024;
constexpr const char* kColdBound = "the slower of the same backup warm and the disk alone";

const Row kRows[] = {
    {"bulk_backup", "bulk backup, GRFS_READ_OBJ_LARGE of 31744 bytes", "MB/s", "backup_agent_mbps",
     "backup_pingpong_mbps", 1, 0, Target::ratio_min, 1.00, "ping-pong 28 / 31780 bytes"},
    {"bulk_backup_cpu", "CPU per block, bulk backup: session process against ping-pong server", "µs",
     "backup_agent_cpu_us", "backup_pingpong_cpu_us", 1, 1, Target::ratio_max, 1.2, "ping-pong server"},
    {"sparse_backup", "backup of a sparse file (256 MiB, 4 MiB of data), GRFS_READ_OBJ_LARGE of 31744 bytes", "MB/s",
     "sparse_backup_mbps", "sparse_dense_mbps", 1, 0, Target::none, 0, "the same backup of the 256 MiB file of data"},
    {"bulk_restore", "bulk restore, GRFS_WRITE_OBJ_LARGE of 31744 bytes", "MB/s", "restore_agent_mbps",
     "restore_pingpong_mbps", 1, 0, Target::none, 0, "ping-pong 31788 / 20 bytes"},
    {"bulk_restore_serial", "bulk restore against the round trip plus write(2) of each block", "MB/s",
     "restore_agent_mbps", "restore_serial_bound_mbps", 1, 0, Target::ratio_min, 0.95,
     "ping-pong, then write(2) of 31744 bytes, per block"},
    {"bulk_restore_tar", "bulk restore against tar -c, loopback socket, tar -x of the same file", "MB/s",
     "restore_agent_mbps", "restore_tar_mbps", 1, 0, Target::ratio_min, 1.00, "tar pipeline, process start-up included"},
    {"bulk_restore_cpu", "CPU per block, bulk restore: session process against ping-pong server", "µs",
     "restore_agent_cpu_us", "restore_pingpong_cpu_us", 1, 1, Target::ratio_max, 0, "ping-pong server"},
    {"bulk_restore_cpu_serial", "CPU per block, bulk restore: session process against the serial bound", "µs",
     "restore_agent_cpu_us", "restore_bound_cpu_us", 1, 1, Target::ratio_max, 0,
     "ping-pong server plus the write(2) of the block"},
    {"smallest_round_trip", "smallest round trip, GRFS_VERIFY_OBJ", "req/s", "verify_agent_rps",
     "verify_pingpong_rps", 1, 0, Target::ratio_min, 0.95, "ping-pong 40 / 16 bytes"},
    {"small_files", "small files, find + open + read + close of 4 KiB", "files/s", "small_agent_fps",
     "small_bound_fps", 1, 0, Target::ratio_min, 0.85, "4 ping-pong round trips per file"},
    {"listing_2000", "listing 2,000 entries", "entries/s", "list2k_agent_eps", "list_bound_eps", 1, 0,
     Target::ratio_min, 0.90, "1 ping-pong round trip per entry"},
    {"listing_20000", "listing 20,000 entries", "entries/s", "list20k_agent_eps", "list_bound_eps", 1, 0,
     Target::ratio_min, 0.90, "1 ping-pong round trip per entry"},
    {"listing_time_ratio", "listing time, 20,000 / 2,000 entries", "x", "list_time_ratio", nullptr, 1, 2,
     Target::value_max, 12, ""},
    {"rss_session_backup", "session process peak RSS, bulk backup", "MiB", "mem_session_backup_kib", nullptr,
     kKiBToMiB, 2, Target::value_below, 4, ""},
    {"rss_session_listing", "session process peak RSS, 20,000-entry listing", "MiB", "mem_session_list_kib", nullptr,
     kKiBToMiB, 2, Target::value_below, 4, ""},
    {"rss_listener", "listener peak RSS", "MiB", "mem_listener_kib", nullptr, kKiBToMiB, 2, Target::none, 0, "",
     "unchanged"},
    {"roundtrip_etc", "round trip of a copy of /etc: grfsclient backup to an archive, restore into an empty export",
     "objects/s", "roundtrip_etc_agent_ops", "roundtrip_etc_tar_ops", 1, 0, Target::ratio_min, 0.90,
     "tar -c, loopback socket, tar -x of the same tree"},
    {"roundtrip_host", "round trip of the host-shaped tree (20,000 files in 420 directories): backup, restore",
     "objects/s", "roundtrip_host_agent_ops", "roundtrip_host_tar_ops", 1, 0, Target::ratio_min, 0.85,
     "tar -c, loopback socket, tar -x of the same tree"},
    {"cold_backup_think0", "cold-cache backup of the 256 MiB file, disk throttled, think time 0 µs per round trip",
     "MB/s", "cold_think0_cold_mbps", "cold_think0_bound_mbps", 1, 0, Target::ratio_min, 0.97, kColdBound},
    {"cold_backup_think50", "cold-cache backup of the 256 MiB file, disk throttled, think time 50 µs per round trip",
     "MB/s", "cold_think50_cold_mbps", "cold_think50_bound_mbps", 1, 0, Target::ratio_min, 0.97, kColdBound},
    {"cold_backup_think100", "cold-cache backup of the 256 MiB file, disk throttled, think time 100 µs per round trip",
     "MB/s", "cold_think100_cold_mbps", "cold_think100_bound_mbps", 1, 0, Target::ratio_min, 0.97, kColdBound},
    {"cold_backup_think200", "cold-cache backup of the 256 MiB file, disk throttled, think time 200 µs per round trip",
     "MB/s", "cold_think200_cold_mbps", "cold_think200_bound_mbps", 1, 0, Target::ratio_min, 0.97, kColdBound},
    {"tar_backup", "reference: tar -c of the 256 MiB file to a loopback socket", "MB/s", "tar_backup_mbps", nullptr,
     1, 0, Target::none, 0, ""},
    {"tar_small_files", "reference: tar -c of the 2,000 files of 4 KiB", "files/s", "tar_small_fps", nullptr, 1, 0,
     Target::none, 0, ""},
    {"tar_listing_2000", "reference: tar -c of the 2,000 empty files", "entries/s", "tar_list2k_eps", nullptr, 1, 0,
     Target::none, 0, ""},
    {"tar_listing_20000", "reference: tar -c of the 20,000 empty files", "entries/s", "tar_list20k_eps", nullptr, 1, 0,
     Target::none, 0, ""},
};

std::vector<double> collect(const std::vector<RunResults>& runs, const char* key, double scale) {
    std::vector<double> v;
    if (key == nullptr) return v;
    for (const RunResults& r : runs) {
        auto it = r.find(key);
        if (it != r.end()) v.push_back(it->second * scale);
    }
    return v;
}

// Per run, so that each ratio pairs figures of the same moment.
std::vector<double> ratios(const std::vector<RunResults>& runs, const Row& row) {
    std::vector<double> v;
    if (row.yardstick == nullptr) return v;
    for (const RunResults& r : runs) {
        auto a = r.find(row.agent);
        auto y = r.find(row.yardstick);
        if (a != r.end() && y != r.end() && y->second > 0) v.push_back(a->second / y->second);
    }
    return v;
}

std::string cell(const std::vector<double>& v, int decimals) {
    if (v.empty()) return "-";
    std::string s = format_number(median(v), decimals);
    if (v.size() > 1) s += " (" + format_number(min_of(v), decimals) + "–" + format_number(max_of(v), decimals) + ")";
    return s;
}

std::string percent_cell(const std::vector<double>& v) {
    if (v.empty()) return "-";
    std::string s = format_number(median(v) * 100, 1) + "%";
    if (v.size() > 1)
        s += " (" + format_number(min_of(v) * 100, 1) + "–" + format_number(max_of(v) * 100, 1) + "%)";
    return s;
}

std::string factor_cell(const std::vector<double>& v) {
    if (v.empty()) return "-";
    std::string s = format_number(median(v), 2) + "x";
    if (v.size() > 1) s += " (" + format_number(min_of(v), 2) + "–" + format_number(max_of(v), 2) + "x)";
    return s;
}

// Ratios are factors in the rows judged by an upper limit, else percentages.
std::string ratio_cell(const Row& row, const std::vector<double>& rs) {
    if (rs.empty()) return "";
    return row.target == Target::ratio_max ? factor_cell(rs) : percent_cell(rs);
}

// A ratio_max row with limit 0 is shown as a factor but not judged.
bool judged(const Row& row) { return row.target != Target::none && !(row.target == Target::ratio_max && row.limit == 0); }

std::string target_text(const Row& row) {
    if (!judged(row)) return row.note;
    switch (row.target) {
    case Target::ratio_min:
        return "≥ " + format_number(row.limit * 100, 0) + "%";
    case Target::ratio_max:
        return "≤ " + format_number(row.limit, 1) + "x";
    case Target::value_max:
        return "≤ " + format_number(row.limit, 0) + "x";
    case Target::value_below:
        return "< " + format_number(row.limit, 0) + " MiB";
    case Target::none:
        break;
    }
    return "";
}

// Judged on the median.
const char* verdict(const Row& row, const std::vector<double>& values, const std::vector<double>& rs) {
    if (!judged(row)) return "";
    switch (row.target) {
    case Target::ratio_min:
        return rs.empty() ? "" : median(rs) >= row.limit ? "met" : "short";
    case Target::ratio_max:
        return rs.empty() ? "" : median(rs) <= row.limit ? "met" : "short";
    case Target::value_max:
        return values.empty() ? "" : median(values) <= row.limit ? "met" : "short";
    case Target::value_below:
        return values.empty() ? "" : median(values) < row.limit ? "met" : "short";
    case Target::none:
        break;
    }
    return "";
}

// Nice values, found by the end of their keys (one per row and process).
struct PrioritySide {
    const char* key_end;
    const char* title;
    const char* json;
};

const PrioritySide kPrioritySides[] = {
    {"_nice_session", "agent session process", "session"},
    {"_nice_server", "ping-pong server", "pingpong_server"},
    {"_nice_client", "benchmark client", "client"},
    {"tar_nice", "tar", "tar"},
    {"nice_listener", "listener", "listener"},
};

std::vector<double> values_ending(const std::vector<RunResults>& runs, const std::string& end) {
    std::vector<double> v;
    for (const RunResults& r : runs) {
        for (const auto& [k, value] : r) {
            if (k.size() >= end.size() && k.compare(k.size() - end.size(), end.size(), end) == 0) v.push_back(value);
        }
    }
    return v;
}

std::string nice_range(const std::vector<double>& v) {
    const std::string low = format_number(min_of(v), 0);
    return min_of(v) == max_of(v) ? low : low + " to " + format_number(max_of(v), 0);
}

void json_stats(std::ostringstream& o, const std::vector<double>& v) {
    if (v.empty()) {
        o << "null";
        return;
    }
    o << "{\"median\": " << median(v) << ", \"min\": " << min_of(v) << ", \"max\": " << max_of(v) << ", \"values\": [";
    for (size_t i = 0; i < v.size(); ++i) o << (i ? ", " : "") << v[i];
    o << "]}";
}

}  // namespace

std::string render_table(const std::vector<RunResults>& runs, const std::map<std::string, std::string>& skipped) {
    std::ostringstream o;
    o << "| measurement | unit | agent | yardstick | agent / yardstick | target | |\n";
    o << "|---|---|---|---|---|---|---|\n";
    for (const Row& row : kRows) {
        const auto values = collect(runs, row.agent, row.scale);
        if (values.empty()) {
            for (const auto& [prefix, reason] : skipped) {
                if (std::string(row.key).rfind(prefix, 0) == 0)
                    o << "| " << row.title << " | " << row.unit << " | | | | " << target_text(row) << " | skipped: "
                      << reason << " |\n";
            }
            continue;
        }
        const auto yard = collect(runs, row.yardstick, row.scale);
        const auto rs = ratios(runs, row);
        std::string yard_cell = yard.empty() ? "" : cell(yard, row.decimals) + " — " + row.yardstick_title;
        o << "| " << row.title << " | " << row.unit << " | " << cell(values, row.decimals) << " | " << yard_cell
          << " | " << ratio_cell(row, rs) << " | " << target_text(row) << " | "
          << verdict(row, values, rs) << " |\n";
    }
    return o.str();
}

std::string render_priorities(const std::vector<RunResults>& runs) {
    std::string o = "Priorities (nice values in every row and run):";
    const char* sep = " ";
    for (const PrioritySide& side : kPrioritySides) {
        const auto v = values_ending(runs, side.key_end);
        if (v.empty()) continue;
        o += sep + std::string(side.title) + " " + nice_range(v);
        sep = ", ";
    }
    return o;
}

std::string render_cpu_table(const std::vector<RunResults>& runs) {
    struct CpuRow {
        const char* title;
        const char* agent;
        const char* server;
    };
    static const CpuRow rows[] = {
        {"bulk backup", "backup_agent_cpu_us", "backup_pingpong_cpu_us"},
        {"bulk restore", "restore_agent_cpu_us", "restore_pingpong_cpu_us"},
        {"smallest round trip", "verify_agent_cpu_us", "verify_pingpong_cpu_us"},
        {"small files (per round trip)", "small_agent_cpu_us", "small_pingpong_cpu_us"},
    };
    std::ostringstream o;
    o << "| CPU time per round trip, µs | agent session process | ping-pong server |\n|---|---|---|\n";
    bool any = false;
    for (const CpuRow& row : rows) {
        const auto a = collect(runs, row.agent, 1);
        if (a.empty()) continue;
        any = true;
        o << "| " << row.title << " | " << cell(a, 1) << " | " << cell(collect(runs, row.server, 1), 1) << " |\n";
    }
    return any ? o.str() : "";
}

std::string render_json(const std::vector<RunResults>& runs, const MachineInfo& machine) {
    std::ostringstream o;
    o.precision(6);
    o << "{\n  \"started\": \"" << json_escape(machine.started) << "\",\n";
    o << "  \"machine\": {\"cpus\": " << machine.cpus << ", \"cpu_model\": \"" << json_escape(machine.cpu_model)
      << "\", \"kernel\": \"" << json_escape(machine.kernel) << "\", \"load_before\": \""
      << json_escape(machine.load_before) << "\", \"load_after\": \"" << json_escape(machine.load_after) << "\"},\n";
    o << "  \"priorities\": {";
    const char* sep = "";
    for (const PrioritySide& side : kPrioritySides) {
        const auto v = values_ending(runs, side.key_end);
        if (v.empty()) continue;
        o << sep << "\"" << side.json << "\": {\"min\": " << min_of(v) << ", \"max\": " << max_of(v) << "}";
        sep = ", ";
    }
    o << "},\n";
    o << "  \"cpus_pinned\": \"" << json_escape(machine.cpus_pinned) << "\",\n";
    o << "  \"slices\": " << machine.slices << ", \"slice_order\": \"A B B A A B B A ...\",\n";
    o << "  \"runs\": " << runs.size() << ",\n  \"rows\": [\n";
    bool first = true;
    for (const Row& row : kRows) {
        const auto values = collect(runs, row.agent, row.scale);
        if (values.empty()) continue;
        const auto yard = collect(runs, row.yardstick, row.scale);
        const auto rs = ratios(runs, row);
        o << (first ? "" : ",\n") << "    {\"name\": \"" << row.key << "\", \"title\": \"" << json_escape(row.title)
          << "\", \"unit\": \"" << row.unit << "\",\n     \"agent\": ";
        json_stats(o, values);
        o << ",\n     \"yardstick\": ";
        json_stats(o, yard);
        o << ",\n     \"ratio\": ";
        json_stats(o, rs);
        o << ",\n     \"ratio_shown_as\": \"" << (row.target == Target::ratio_max ? "factor" : "percent") << "\", \"limit\": ";
        if (judged(row)) o << row.limit;
        else o << "null";
        o << ", \"target\": \"" << json_escape(target_text(row)) << "\", \"verdict\": \"" << verdict(row, values, rs)
          << "\"}";
        first = false;
    }
    o << "\n  ],\n  \"raw\": [\n";
    for (size_t i = 0; i < runs.size(); ++i) {
        o << "    {";
        bool f = true;
        for (const auto& [k, v] : runs[i]) {
            o << (f ? "" : ", ") << "\"" << k << "\": " << v;
            f = false;
        }
        o << "}" << (i + 1 < runs.size() ? "," : "") << "\n";
    }
    o << "  ]\n}\n";
    return o.str();
}

}  // namespace bench
