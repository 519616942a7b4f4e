#include "client/verify.h"

#include <algorithm>
#include <unordered_set>

#include "client/archive_reader.h"
#include "client/restore.h"
#include "client/retcodes.h"
#include "util/uint64.h"

namespace grfs_client {

namespace {

// Compares the pieces read back with the archived streams, in order.
class ContentComparer {
public:
    ContentComparer(const ArchiveReader& archive, const ArchivedObject& object) : archive_(archive), object_(object) {}

    Status piece(const ReadPiece& p) {
        if (!difference_.empty()) return {};
        if (p.stream.id != 0 || stream_ < 0) {
            if (stream_ >= 0 && position_ != current().length) {
                difference_ = "stream " + stream_name(current().header.id) + " is " + std::to_string(position_) +
                              " bytes long, the archive holds " + std::to_string(current().length);
                return {};
            }
            ++stream_;
            position_ = 0;
            if (stream_ >= static_cast<int>(object_.streams.size())) {
                difference_ = "holds more streams than the archive";
                return {};
            }
            const GRFS_STREAM_INFO& archived = current().header;
            if (p.stream.id != archived.id || AsU64(p.stream.size) != AsU64(archived.size)) {
                difference_ = "stream " + stream_name(p.stream.id) + " of " + std::to_string(AsU64(p.stream.size)) +
                              " bytes where the archive has " + stream_name(archived.id) + " of " +
                              std::to_string(AsU64(archived.size)) + " bytes";
                return {};
            }
        }
        const ArchivedStream& s = current();
        if (position_ + p.data.size() > s.length) {
            difference_ = "stream " + stream_name(s.header.id) + " is longer than in the archive";
            return {};
        }
        buffer_.resize(p.data.size());
        if (Status st = archive_.read(s, position_, buffer_); !st.ok()) return st;
        auto mismatch = std::mismatch(p.data.begin(), p.data.end(), buffer_.begin());
        if (mismatch.first != p.data.end()) {
            difference_ = "contents differ at byte " + std::to_string(position_ + (mismatch.first - p.data.begin())) +
                          " of stream " + stream_name(s.header.id);
            return {};
        }
        position_ += p.data.size();
        compared_ += p.data.size();
        return {};
    }

    // The difference found, also one at the end of the sequence.
    std::string result() {
        if (!difference_.empty()) return difference_;
        const int count = static_cast<int>(object_.streams.size());
        if (stream_ < 0 && count > 0) return "reads back empty, the archive holds " + std::to_string(count) + " stream(s)";
        if (stream_ >= 0 && position_ != current().length)
            return "stream " + stream_name(current().header.id) + " is " + std::to_string(position_) +
                   " bytes long, the archive holds " + std::to_string(current().length);
        if (stream_ + 1 < count) return "holds fewer streams than the archive";
        return {};
    }

    uint64_t compared() const { return compared_; }

private:
    const ArchivedStream& current() const { return object_.streams[static_cast<size_t>(stream_)]; }

    const ArchiveReader& archive_;
    const ArchivedObject& object_;
    int stream_ = -1;
    uint64_t position_ = 0;
    uint64_t compared_ = 0;
    std::string difference_;
    std::vector<unsigned char> buffer_;
};

}  // namespace

Result<VerifyReport> verify_archive(Peer& peer, const std::string& archive_path, const VerifyOptions& options) {
    auto archive = ArchiveReader::open(archive_path);
    if (!archive.ok()) return archive.error();
    const std::string to = strip_slashes(options.to);

    Connection& c = peer.connection();
    VerifyReport report;
    std::unordered_set<std::string> archived_paths;
    ArchivedObject object;
    for (;;) {
        auto more = archive->next(object);
        if (!more.ok()) return more.error();
        if (!*more) break;
        ++report.objects;
        const std::string target = join_path(to, object.path());
        archived_paths.insert(target);
        const size_t differences = report.differences.size();
        auto differ = [&](const std::string& reason) { report.differences.push_back({shown_path(target), reason}); };
        auto fatal = [](const Error& e) { return e.kind != ErrorKind::retcode; };

        auto relocated = relocated_dblk(object.dblk, to);
        if (!relocated.ok()) return relocated.error();
        const Dblk& dblk = *relocated;
        // The DLE's own root is never restored; its attributes are not the
        // archive's business.
        if (dblk.is_directory() && dblk.text().empty()) {
            ++report.matched;
            continue;
        }
        if (!dblk.is_directory()) {
            if (Status s = peer.change_dir(join_path(to, object.dir)); !s.ok()) {
                if (fatal(s)) return s;
                differ("missing: " + s.text);
                continue;
            }
        }
        auto rc = verify_object_info(c, peer.dle_id(), dblk);
        if (!rc.ok()) return rc.error();
        if (*rc == GRFS_RC_BAD_OBJ_HANDLE || *rc == GRFS_RC_NO_SUCH_FILE) {
            differ("missing");
            continue;
        }
        if (*rc == GRFS_RC_VERIFY_MISMATCH)
            differ("size or attributes differ");
        else if (*rc != 0)
            differ("verify information answered " + retcode_text(*rc));

        const bool readable = object.complete() && (!object.streams.empty() || dblk.is_regular());
        if (options.contents && readable) {
            ContentComparer comparer(*archive, object);
            Status s = peer.read_object(join_path(to, object.dir), dblk, GRFS_OPEN_VERIFY,
                                        [&](const ReadPiece& p) { return comparer.piece(p); });
            report.bytes_compared += comparer.compared();
            if (!s.ok()) {
                if (fatal(s)) return s;
                differ("contents not read back: " + s.text);
            } else if (std::string d = comparer.result(); !d.empty()) {
                differ(d);
            }
        }
        if (report.differences.size() == differences) ++report.matched;
        if (options.on_progress) options.on_progress(report.objects, report.bytes_compared);
    }

    if (options.extras) {
        WalkOptions walk;
        walk.on_error = [&](const std::string& path, const Error& e) -> Status {
            report.differences.push_back({shown_path(path), "not listed: " + e.text});
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
            if (s.kind != ErrorKind::retcode) return s;
            report.differences.push_back({shown_path(start), "not listed: " + s.text});
        }
    }
    return report;
}

}  // namespace grfs_client
