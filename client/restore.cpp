#include "client/restore.h"

#include <algorithm>
#include <vector>

#include "client/archive_reader.h"
#include "client/retcodes.h"

namespace grfs_client {

Result<Dblk> relocated_dblk(const Dblk& dblk, const std::string& to) {
    if (to.empty() || !dblk.is_directory()) return dblk;
    return with_directory_path(dblk, join_path(to, dblk.text()));
}

namespace {

// The largest data a write may carry: the agent's message buffer holds the
// object buffer plus 324 bytes; a write request takes 40 of them.
constexpr uint32_t kMaxWriteData = GRFS_MAX_MSG_SIZE - GRFS_MSG_HEADER_SIZE - 32;

class Restorer {
public:
    Restorer(Peer& peer, ArchiveReader& archive, const RestoreOptions& options, RestoreReport& report,
             bool write_protected)
        : peer_(peer), c_(peer.connection()), archive_(archive), options_(options), report_(report),
          write_protected_(write_protected) {}

    // Restores one object; a per-object failure is recorded and false
    // returned, a fatal one comes back as the error.
    Status restore(const ArchivedObject& object);
    Status finish_directories();

private:
    // Records the object's failure; a refusal that every later object
    // would meet as well stops the restore.
    Status fail(const ArchivedObject& object, const std::string& reason, int16_t retcode = 0) {
        report_.failures.push_back({shown_path(object.path()), reason});
        if (!report_.stopped.empty()) return {};
        if (retcode == GRFS_RC_NO_SPACE)
            report_.stopped = "the file system of the export is full (no space left)";
        else if (retcode == GRFS_RC_ACCESS_DENIED && write_protected_)
            report_.stopped = "the export is write-protected (write_protect in the agent's configuration)";
        return {};
    }
    // A retcode error becomes the object's failure; anything else is fatal.
    bool fatal(const Error& e) const { return e.kind != ErrorKind::retcode; }
    Status write_stream(const ArchivedStream& stream, OBJ_HANDLE obj, uint64_t& position, std::string& problem,
                        int16_t& problem_rc);

    Peer& peer_;
    Connection& c_;
    ArchiveReader& archive_;
    const RestoreOptions& options_;
    RestoreReport& report_;
    const bool write_protected_;
    std::vector<std::pair<std::string, Dblk>> directories_;  // set last, deepest first
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(kMaxWriteData);
};

Status Restorer::write_stream(const ArchivedStream& stream, OBJ_HANDLE obj, uint64_t& position, std::string& problem,
                              int16_t& problem_rc) {
    const GRFS_STREAM_INFO header = stream.has_header ? stream.header : GRFS_STREAM_INFO{};
    const GRFS_STREAM_INFO continued{};
    const uint32_t piece = peer_.piece_size();
    uint32_t at_least = 0;  // a size the agent asked for with blk_size
    uint64_t done = 0;
    int stalls = 0;
    const uint64_t start = position;
    while (done < stream.length) {
        uint64_t want = std::max<uint64_t>(piece, at_least);
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(want, stream.length - done));
        std::span<unsigned char> data(buffer_.data(), n);
        if (Status s = archive_.read(stream, done, data); !s.ok()) return s;
        auto reply = write_piece(c_, obj, start + done, done == 0 ? header : continued, data);
        if (!reply.ok()) {
            if (fatal(reply.error())) return reply.error();
            problem = "write of stream " + stream_name(header.id) + " at byte " + std::to_string(done) + " answered " +
                      retcode_text(reply.error().retcode);
            problem_rc = reply.error().retcode;
            return {};
        }
        if (reply->blk_size != 1) {
            // The stream must go again from its start, in one request of
            // at least blk_size bytes.
            if (reply->blk_size <= n || reply->blk_size > kMaxWriteData || at_least != 0) {
                problem = "the agent asks for " + std::to_string(reply->blk_size) + " bytes of stream " +
                          stream_name(header.id) + " in one request";
                return {};
            }
            at_least = reply->blk_size;
            done = 0;
            continue;
        }
        if (reply->consumed == 0) {
            if (++stalls > 2) {
                problem = "the agent consumes nothing of stream " + stream_name(header.id);
                return {};
            }
            continue;
        }
        stalls = 0;
        done += std::min<uint64_t>(reply->consumed, n);
        report_.bytes += std::min<uint64_t>(reply->consumed, n);
    }
    position = start + done;
    return {};
}

Status Restorer::restore(const ArchivedObject& object) {
    const std::string& to = options_.to;
    auto relocated = relocated_dblk(object.dblk, to);
    if (!relocated.ok()) return fail(object, relocated.error().text);
    Dblk dblk = std::move(*relocated);
    const bool directory = dblk.is_directory();
    const bool root = directory && dblk.text().empty();

    // The DLE's root exists; the agent never changes its attributes.
    if (root) {
        ++report_.restored;
        return {};
    }
    // A FIFO or socket has no data; any other object whose data could not
    // be read is not restored at all rather than restored wrong.
    const bool no_data_expected = object.outcome.stage == STAGE_OPEN_FAILED && object.outcome.retcode == 1 &&
                                  dblk.is_fifo_or_socket();
    if (!directory && !object.complete() && !no_data_expected) {
        return fail(object, "not restored: its backup is incomplete (" +
                                std::string(object.outcome.stage == STAGE_OPEN_FAILED ? "open" : "read") + " answered " +
                                retcode_text(object.outcome.retcode) + ")");
    }

    if (!directory) {
        const std::string dir = join_path(to, object.dir);
        if (Status s = peer_.change_dir(dir); !s.ok()) {
            if (fatal(s)) return s;
            const std::string too_long = s.retcode == GRFS_RC_CHANGE_DIR_FAILED ? change_dir_length_problem(dir, "its directory's path") : "";
            if (!too_long.empty()) return fail(object, "not restored: " + too_long);
            return fail(object, s.text);
        }
    }
    if (options_.prepare) {
        auto prepared = prepare_dblk(c_, peer_.dle_id(), dblk);
        if (!prepared.ok()) {
            if (fatal(prepared.error())) return prepared.error();
            report_.notes.push_back({shown_path(object.path()), "prepare answered " + retcode_text(prepared.error().retcode)});
        } else {
            if (prepared->text() != dblk.text())
                report_.notes.push_back({shown_path(object.path()), "name shortened to '" + prepared->text() + "'"});
            dblk = std::move(*prepared);
        }
    }
    auto created = create_object(c_, peer_.dle_id(), dblk);
    if (!created.ok()) return created.error();
    if (*created != 0) return fail(object, "create answered " + retcode_text(*created), *created);

    auto set_info = [&]() -> Status {
        auto rc = set_object_info(c_, peer_.dle_id(), dblk);
        if (!rc.ok()) return rc.error();
        if (*rc != 0) return fail(object, "set information answered " + retcode_text(*rc), *rc);
        return {};
    };

    const bool needs_open = !object.streams.empty() || (dblk.is_regular() && !no_data_expected);
    if (!needs_open) {
        if (directory) {
            directories_.emplace_back(object.path(), dblk);
            ++report_.restored;
            return {};
        }
        const size_t failures = report_.failures.size();
        if (Status s = set_info(); !s.ok()) return s;
        if (report_.failures.size() == failures) ++report_.restored;
        return {};
    }

    auto opened = open_object(c_, peer_.dle_id(), dblk, GRFS_OPEN_WRITE);
    if (!opened.ok()) {
        if (fatal(opened.error())) return opened.error();
        return fail(object, "open for writing answered " + retcode_text(opened.error().retcode), opened.error().retcode);
    }
    std::string problem;
    int16_t problem_rc = 0;
    uint64_t position = 0;
    for (const ArchivedStream& stream : object.streams) {
        if (stream.length == 0) continue;
        if (Status s = write_stream(stream, opened->obj_id, position, problem, problem_rc); !s.ok()) return s;
        if (!problem.empty()) break;
        if (options_.on_progress) options_.on_progress(report_.objects, report_.bytes);
    }
    const size_t failures = report_.failures.size();
    if (!problem.empty()) fail(object, problem, problem_rc);
    // A symbolic link exists only once it is closed; everything else gets
    // its information while it is still open, as a server does.
    const bool after_close = dblk.is_symlink();
    if (!after_close && problem.empty() && !directory) {
        if (Status s = set_info(); !s.ok()) return s;
    }
    if (Status s = close_object(c_, opened->obj_id); !s.ok()) {
        if (fatal(s)) return s;
        fail(object, "close answered " + retcode_text(s.retcode), s.retcode);
    }
    if (after_close && problem.empty()) {
        if (Status s = set_info(); !s.ok()) return s;
    }
    if (directory && problem.empty()) directories_.emplace_back(object.path(), dblk);
    if (report_.failures.size() == failures) ++report_.restored;
    return {};
}

Status Restorer::finish_directories() {
    // Creating entries changes a directory's times: set them last, the
    // deepest directories first.
    for (auto it = directories_.rbegin(); it != directories_.rend(); ++it) {
        auto rc = set_object_info(c_, peer_.dle_id(), it->second);
        if (!rc.ok()) return rc.error();
        if (*rc != 0) {
            report_.failures.push_back({shown_path(it->first), "set information answered " + retcode_text(*rc)});
            if (report_.restored > 0) --report_.restored;
        }
    }
    return {};
}

// Whether the agent lists the attached export as write-protected; it then
// refuses every change with -507, as it also refuses one object it may not
// change.
bool export_write_protected(Peer& peer) {
    auto dles = peer.list_dles();
    if (!dles.ok()) return false;
    for (const DleInfo& d : *dles)
        if (d.name == peer.dle_name()) return !d.writable;
    return false;
}

}  // namespace

Result<RestoreReport> restore_archive(Peer& peer, const std::string& archive_path, const RestoreOptions& options) {
    auto archive = ArchiveReader::open(archive_path);
    if (!archive.ok()) return archive.error();
    RestoreReport report;
    RestoreOptions opts = options;
    opts.to = strip_slashes(opts.to);
    Restorer restorer(peer, *archive, opts, report, export_write_protected(peer));
    ArchivedObject object;
    for (;;) {
        auto more = archive->next(object);
        if (!more.ok()) return more.error();
        if (!*more) break;
        ++report.objects;
        if (!report.stopped.empty()) {
            ++report.not_tried;
            continue;
        }
        if (Status s = restorer.restore(object); !s.ok()) return s;
        if (options.on_progress) options.on_progress(report.objects, report.bytes);
    }
    if (Status s = restorer.finish_directories(); !s.ok()) return s;
    return report;
}

}  // namespace grfs_client
