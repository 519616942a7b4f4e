#include "client/verify.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_set>

#include "client/archive_reader.h"
#include "client/restore.h"
#include "client/retcodes.h"
#include "client/verify_fields.h"
#include "client/verify_streams.h"
#include "util/uint64.h"

namespace grfs_client {

namespace {

// A stream of attributes read back is held whole for its comparer; the
// agent's own streams of this kind are far smaller.
constexpr uint64_t kMaxAttributeStream = 64ull * 1024 * 1024;

// Compares the byte sequence read back with the archived streams. Data and
// unknown streams are compared byte by byte, in order, as they arrive;
// streams of attributes are collected and compared entry by entry at the
// end, whichever side lacks them.
class ContentComparer {
public:
    ContentComparer(const ArchiveReader& archive, const ArchivedObject& object, const Dblk& now)
        : archive_(archive), object_(object), now_(now) {}

    Status piece(const ReadPiece& p) {
        if (p.stream.id != 0 || !started_) {
            started_ = true;
            end_byte_stream();
            collecting_ = p.stream.id != 0 && stream_comparer(p.stream.id) != nullptr;
            if (collecting_) {
                collected_id_ = p.stream.id;
                collected_[collected_id_].clear();
            } else {
                begin_byte_stream(p.stream);
            }
        }
        if (collecting_) {
            auto& bytes = collected_[collected_id_];
            if (bytes.size() + p.data.size() > kMaxAttributeStream) {
                too_long_.insert(collected_id_);
                return {};
            }
            bytes.insert(bytes.end(), p.data.begin(), p.data.end());
            compared_ += p.data.size();
            return {};
        }
        return compare_bytes(p.data);
    }

    // Every difference found, those at the end of the sequence included.
    Result<std::vector<std::string>> result() {
        end_byte_stream();
        if (!byte_difference_) {
            const size_t archived = count_byte_streams();
            if (!started_ && archived > 0)
                byte_difference_ = "reads back empty, the archive holds " + std::to_string(archived) + " stream(s)";
            else if (byte_streams_ < archived)
                byte_difference_ = "holds fewer streams than the archive";
        }
        std::vector<std::string> out;
        if (byte_difference_) out.push_back(*byte_difference_);

        std::map<uint32_t, std::vector<unsigned char>> archived;
        for (const ArchivedStream& s : object_.streams) {
            if (!s.has_header || stream_comparer(s.header.id) == nullptr) continue;
            auto bytes = archive_.read_all(s);
            if (!bytes.ok()) return bytes.error();
            archived[s.header.id] = std::move(*bytes);
        }
        std::map<uint32_t, bool> ids;
        for (const auto& [id, unused] : archived) ids[id] = true;
        for (const auto& [id, unused] : collected_) ids[id] = true;
        const StreamContext context{object_.dblk, now_};
        for (const auto& [id, unused] : ids) {
            if (too_long_.count(id)) {
                out.push_back("stream " + stream_name(id) + " is too long to compare");
                continue;
            }
            auto a = archived.find(id);
            auto b = collected_.find(id);
            Bytes was = a == archived.end() ? Bytes{} : Bytes{std::span<const unsigned char>(a->second)};
            Bytes is = b == collected_.end() ? Bytes{} : Bytes{std::span<const unsigned char>(b->second)};
            stream_comparer(id)(was, is, context, out);
        }
        return out;
    }

    uint64_t compared() const { return compared_; }

private:
    bool is_byte_stream(const ArchivedStream& s) const {
        return !s.has_header || stream_comparer(s.header.id) == nullptr;
    }
    size_t count_byte_streams() const {
        return static_cast<size_t>(std::count_if(object_.streams.begin(), object_.streams.end(),
                                                 [&](const ArchivedStream& s) { return is_byte_stream(s); }));
    }

    void begin_byte_stream(const GRFS_STREAM_INFO& header) {
        ++byte_streams_;
        position_ = 0;
        current_ = nullptr;
        while (next_archived_ < object_.streams.size() && !is_byte_stream(object_.streams[next_archived_]))
            ++next_archived_;
        if (next_archived_ >= object_.streams.size()) {
            note("holds more streams than the archive");
            return;
        }
        current_ = &object_.streams[next_archived_++];
        const GRFS_STREAM_INFO& archived = current_->header;
        if (header.id != archived.id || AsU64(header.size) != AsU64(archived.size)) {
            note("stream " + stream_name(header.id) + " of " + std::to_string(AsU64(header.size)) +
                 " bytes where the archive has " + stream_name(archived.id) + " of " +
                 std::to_string(AsU64(archived.size)) + " bytes");
            current_ = nullptr;
        }
    }

    void end_byte_stream() {
        if (current_ != nullptr && position_ != current_->length)
            note("stream " + stream_name(current_->header.id) + " is " + std::to_string(position_) +
                 " bytes long, the archive holds " + std::to_string(current_->length));
        current_ = nullptr;
    }

    Status compare_bytes(std::span<const unsigned char> data) {
        if (current_ == nullptr || byte_difference_) return {};
        const ArchivedStream& s = *current_;
        if (position_ + data.size() > s.length) {
            note("stream " + stream_name(s.header.id) + " is longer than in the archive");
            current_ = nullptr;
            return {};
        }
        buffer_.resize(data.size());
        if (Status st = archive_.read(s, position_, buffer_); !st.ok()) return st;
        auto mismatch = std::mismatch(data.begin(), data.end(), buffer_.begin());
        if (mismatch.first != data.end()) {
            note("contents differ at byte " + std::to_string(position_ + (mismatch.first - data.begin())) +
                 " of stream " + stream_name(s.header.id));
            current_ = nullptr;
            return {};
        }
        position_ += data.size();
        compared_ += data.size();
        return {};
    }

    // The first difference of the byte streams is the one named: after it,
    // the rest of them is out of step.
    void note(const std::string& difference) {
        if (!byte_difference_) byte_difference_ = difference;
    }

    const ArchiveReader& archive_;
    const ArchivedObject& object_;
    const Dblk& now_;
    bool started_ = false;
    bool collecting_ = false;
    uint32_t collected_id_ = 0;
    std::map<uint32_t, std::vector<unsigned char>> collected_;
    std::unordered_set<uint32_t> too_long_;
    size_t next_archived_ = 0;
    size_t byte_streams_ = 0;
    const ArchivedStream* current_ = nullptr;
    uint64_t position_ = 0;
    uint64_t compared_ = 0;
    std::optional<std::string> byte_difference_;
    std::vector<unsigned char> buffer_;
};

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : "; ") + p;
    return out;
}

}  // namespace

Result<VerifyReport> verify_archive(Peer& peer, const std::string& archive_path, const VerifyOptions& options) {
    auto archive = ArchiveReader::open(archive_path);
    if (!archive.ok()) return archive.error();
    const std::string to = strip_slashes(options.to);

    Connection& c = peer.connection();
    VerifyReport report;
    std::unordered_set<std::string> archived_paths;
    ArchivedObject object;
    // A failure of the session or the archive ends the comparison; what was
    // compared until then is still reported.
    auto stop = [&](const std::string& where, const Error& e) {
        report.stopped = (where.empty() ? "" : shown_path(where) + ": ") + e.text;
    };
    for (;;) {
        auto more = archive->next(object);
        if (!more.ok()) {
            stop("", more.error());
            return report;
        }
        if (!*more) break;
        ++report.objects;
        const std::string target = join_path(to, object.path());
        archived_paths.insert(target);
        std::vector<std::string> differences;
        auto fatal = [](const Error& e) { return e.kind != ErrorKind::retcode; };
        auto done = [&] {
            if (differences.empty())
                ++report.matched;
            else
                report.differences.push_back({shown_path(target), joined(differences)});
            if (options.on_progress) options.on_progress(report.objects, report.bytes_compared);
        };

        auto relocated = relocated_dblk(object.dblk, to);
        if (!relocated.ok()) {
            differences.push_back("not compared: " + relocated.error().text);
            done();
            continue;
        }
        const Dblk& dblk = *relocated;
        // The DLE's own root is never restored; its attributes are not the
        // archive's business.
        if (dblk.is_directory() && dblk.text().empty()) {
            done();
            continue;
        }
        if (!dblk.is_directory()) {
            const std::string dir = join_path(to, object.dir);
            if (Status s = peer.change_dir(dir); !s.ok()) {
                if (fatal(s)) {
                    stop(target, s);
                    return report;
                }
                const std::string too_long =
                    s.retcode == GRFS_RC_CHANGE_DIR_FAILED ? change_dir_length_problem(dir, "its directory's path") : "";
                differences.push_back(too_long.empty() ? "missing: " + s.text : "not compared: " + too_long);
                done();
                continue;
            }
        }
        // The agent's own verdict tells a missing object apart; its -494
        // (size or attributes) is not repeated, since what differs is named
        // below, and a directory's size is no difference.
        auto rc = verify_object_info(c, peer.dle_id(), dblk);
        if (!rc.ok()) {
            stop(target, rc.error());
            return report;
        }
        if (*rc == GRFS_RC_BAD_OBJ_HANDLE || *rc == GRFS_RC_NO_SUCH_FILE) {
            differences.push_back("missing");
            done();
            continue;
        }
        if (*rc != 0 && *rc != GRFS_RC_VERIFY_MISMATCH)
            differences.push_back("verify information answered " + retcode_text(*rc));

        auto now = get_object_info(c, peer.dle_id(), dblk);
        if (!now.ok()) {
            if (fatal(now.error())) {
                stop(target, now.error());
                return report;
            }
            differences.push_back("not described: " + now.error().text);
            done();
            continue;
        }
        std::vector<std::string> fields = compare_blocks(dblk, *now);
        const bool kind_kept = same_kind(dblk, *now);
        differences.insert(differences.end(), fields.begin(), fields.end());

        const bool readable = object.complete() && (!object.streams.empty() || dblk.is_regular());
        if (options.contents && readable && kind_kept) {
            ContentComparer comparer(*archive, object, *now);
            Status s = peer.read_object(join_path(to, object.dir), dblk, GRFS_OPEN_VERIFY,
                                        [&](const ReadPiece& p) { return comparer.piece(p); });
            report.bytes_compared += comparer.compared();
            if (!s.ok()) {
                if (fatal(s)) {
                    stop(target, s);
                    return report;
                }
                differences.push_back("contents not read back: " + s.text);
            } else {
                auto found = comparer.result();
                if (!found.ok()) {
                    stop(target, found.error());
                    return report;
                }
                differences.insert(differences.end(), found->begin(), found->end());
            }
        }
        done();
    }

    if (options.extras) {
        WalkOptions walk;
        walk.on_error = [&](const std::string& path, const Error& e) -> Status {
            const std::string too_long = e.retcode == GRFS_RC_CHANGE_DIR_FAILED ? change_dir_length_problem(path) : "";
            report.differences.push_back({shown_path(path), "not listed: " + (too_long.empty() ? e.text : too_long)});
            return {};
        };
        // Only the part of the export that was backed up.
        const std::string start = join_path(to, info_value(archive->info(), "start"));
        Status s = peer.walk(start, walk, [&](const WalkEntry& entry) -> Status {
            if (archived_paths.count(entry.path()) == 0)
                report.differences.push_back({shown_path(entry.path()), "not in the archive"});
            return {};
        });
        if (!s.ok()) {
            if (s.kind != ErrorKind::retcode)
                stop(start, s);
            else
                report.differences.push_back({shown_path(start), "not listed: " + s.text});
        }
    }
    return report;
}

}  // namespace grfs_client
