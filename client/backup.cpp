#include "client/backup.h"

#include <ctime>

#include "client/archive_writer.h"
#include "client/retcodes.h"
#include "util/uint64.h"

namespace grfs_client {

namespace {

std::string utc_now() {
    char text[32];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

void count_kind(BackupReport& report, const Dblk& dblk) {
    ++report.objects;
    if (dblk.is_directory())
        ++report.directories;
    else if (dblk.is_symlink())
        ++report.links;
    else if (dblk.is_regular())
        ++report.files;
    else
        ++report.others;
}

// Reads one object into the archive. Errors of kind retcode are the
// object's own; any other error ends the backup.
Status store_object(Peer& peer, ArchiveWriter& writer, const WalkEntry& entry, BackupReport& report,
                    const ProgressCallback& progress) {
    Connection& c = peer.connection();
    const Dblk& dblk = entry.dblk;
    const std::string path = shown_path(entry.path());
    if (Status s = writer.begin_object(entry.dir, dblk); !s.ok()) return s;
    count_kind(report, dblk);

    ObjectOutcome outcome;
    auto finish = [&](const ObjectOutcome& o) -> Status {
        if (Status s = writer.end_object(o); !s.ok()) return s;
        if (progress) progress(report.objects, report.bytes);
        return {};
    };

    if (dblk.is_file()) {
        if (Status s = peer.change_dir(entry.dir); !s.ok()) {
            if (s.kind != ErrorKind::retcode) return s;
            report.failures.push_back({path, "not read: " + s.text});
            return finish(ObjectOutcome{s.retcode, STAGE_OPEN_FAILED, 0});
        }
    }
    auto opened = open_object(c, peer.dle_id(), dblk, GRFS_OPEN_READ);
    if (!opened.ok()) {
        const Error& e = opened.error();
        if (e.kind != ErrorKind::retcode) return e;
        // The agent opens no FIFO or socket (retcode 1): there is nothing
        // to read, the DBLK alone restores it.
        if (dblk.is_fifo_or_socket() && e.retcode == 1)
            report.notes.push_back({path, "no data: the agent does not open FIFOs and sockets"});
        else
            report.failures.push_back({path, "not read: open answered " + retcode_text(e.retcode)});
        return finish(ObjectOutcome{e.retcode, STAGE_OPEN_FAILED, 0});
    }
    if (opened->retcode != 0) report.notes.push_back({path, "opened with a warning: " + retcode_text(opened->retcode)});

    uint64_t expected = 0;
    Status read = read_object(c, opened->obj_id, peer.piece_size(), [&](const ReadPiece& piece) -> Status {
        if (piece.stream.id != 0) {
            expected += AsU64(piece.stream.size);
            if (Status s = writer.stream_header(piece.stream); !s.ok()) return s;
        }
        if (Status s = writer.data(piece.data); !s.ok()) return s;
        outcome.bytes += piece.data.size();
        report.bytes += piece.data.size();
        if (progress) progress(report.objects, report.bytes);
        return {};
    });
    if (!read.ok() && read.kind != ErrorKind::retcode) return read;
    if (Status s = close_object(c, opened->obj_id); !s.ok()) {
        if (s.kind != ErrorKind::retcode) return s;
        report.notes.push_back({path, "close answered " + retcode_text(s.retcode)});
    }
    if (!read.ok()) {
        report.failures.push_back({path, "read stopped after " + std::to_string(outcome.bytes) + " bytes: " +
                                             retcode_text(read.retcode)});
        outcome.stage = STAGE_READ_FAILED;
        outcome.retcode = read.retcode;
    } else if (expected != outcome.bytes) {
        report.notes.push_back({path, "stream headers announce " + std::to_string(expected) + " bytes, " +
                                          std::to_string(outcome.bytes) + " were read (changed during the backup?)"});
    }
    return finish(outcome);
}

}  // namespace

Result<BackupReport> backup_export(Peer& peer, const std::string& archive_path, const BackupOptions& options) {
    ArchiveInfo info = {
        {"host", peer.connection().endpoint().host},
        {"port", std::to_string(peer.connection().endpoint().port)},
        {"dle", peer.dle_name()},
        {"workstation", peer.workstation_name()},
        {"start", options.start},
        {"created", utc_now()},
        {"writer", "grfsclient"},
    };
    auto writer = ArchiveWriter::create(archive_path, info);
    if (!writer.ok()) return writer.error();

    BackupReport report;
    WalkOptions walk;
    walk.recursive = true;
    walk.descend_at_once = options.descend_at_once;
    walk.include_start = true;  // the root's DBLK lets a restore elsewhere recreate it
    walk.on_error = [&](const std::string& path, const Error& e) -> Status {
        // The agent refuses a directory deeper than the request can name:
        // the directory itself is stored, what it holds is not.
        const std::string too_long = e.retcode == GRFS_RC_CHANGE_DIR_FAILED ? change_dir_length_problem(path) : "";
        if (!too_long.empty())
            report.failures.push_back({shown_path(path), "contents not backed up: " + too_long});
        else
            report.failures.push_back({shown_path(path), "not listed: " + e.text});
        return {};
    };
    Status s = peer.walk(options.start, walk, [&](const WalkEntry& entry) {
        return store_object(peer, *writer, entry, report, options.on_progress);
    });
    if (!s.ok()) return s;
    if (Status f = writer->finish(); !f.ok()) return f;
    return report;
}

}  // namespace grfs_client
