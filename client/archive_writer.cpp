#include "client/archive_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/interrupt_removal.h"
#include "client/le_bytes.h"

namespace grfs_client {

std::string info_value(const ArchiveInfo& info, const std::string& key) {
    for (const auto& [k, v] : info)
        if (k == key) return v;
    return {};
}

std::vector<unsigned char> archive_file_header() {
    std::vector<unsigned char> h(kArchiveMagic, kArchiveMagic + sizeof kArchiveMagic);
    append_le(h, kArchiveVersion, 2);
    append_le(h, 0, 2);  // flags
    append_le(h, 0, 4);  // reserved
    return h;
}

std::vector<unsigned char> stream_header_bytes(const GRFS_STREAM_INFO& header) {
    std::vector<unsigned char> b;
    append_le(b, header.id, 4);
    append_le(b, header.attrib, 2);
    append_le(b, header.reserved, 2);
    append_le(b, header.size.lsw, 4);
    append_le(b, header.size.msw, 4);
    return b;
}

Result<ArchiveWriter> ArchiveWriter::create(const std::string& path, const ArchiveInfo& info) {
    ArchiveWriter w;
    w.path_ = path;
    // Beside the target, so that the rename stays on its file system; mkstemp
    // makes it mode 0600 whatever the umask: an archive of /etc holds shadow.
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "." + base + ".partial-XXXXXX";
    const int fd = create_removed_on_interrupt(temp);
    if (fd < 0) return make_error(ErrorKind::io, "cannot create a temporary file beside " + path + ": " + std::strerror(errno));
    w.temp_path_ = temp;
    w.file_ = fdopen(fd, "wb");
    if (w.file_ == nullptr) {
        const int err = errno;
        close(fd);
        return make_error(ErrorKind::io, "cannot write " + temp + ": " + std::strerror(err));
    }
    std::setvbuf(w.file_, nullptr, _IOFBF, 1 << 20);
    const auto header = archive_file_header();
    if (std::fwrite(header.data(), 1, header.size(), w.file_) != header.size()) return w.fail("write");
    std::string text;
    for (const auto& [key, value] : info) {
        if (key.find_first_of("=\n") != std::string::npos || value.find('\n') != std::string::npos)
            return make_error(ErrorKind::usage, "archive information '" + key + "' holds a line end or '='");
        text += key + "=" + value + "\n";
    }
    if (Status s = w.record(REC_INFO, std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size())); !s.ok())
        return s;
    return w;
}

ArchiveWriter::ArchiveWriter(ArchiveWriter&& other) noexcept { *this = std::move(other); }

ArchiveWriter& ArchiveWriter::operator=(ArchiveWriter&& other) noexcept {
    if (this != &other) {
        discard();
        file_ = other.file_;
        other.file_ = nullptr;
        path_ = std::move(other.path_);
        temp_path_ = std::move(other.temp_path_);
        other.temp_path_.clear();
        in_object_ = other.in_object_;
        objects_ = other.objects_;
        data_bytes_ = other.data_bytes_;
    }
    return *this;
}

ArchiveWriter::~ArchiveWriter() { discard(); }

void ArchiveWriter::discard() {
    // An archive that was not finished never replaces the one at path.
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temp_path_.empty()) {
        unlink(temp_path_.c_str());
        keep_on_interrupt();
        temp_path_.clear();
    }
}

Status ArchiveWriter::fail(const std::string& what) {
    return make_error(ErrorKind::io, "cannot " + what + " " + (temp_path_.empty() ? path_ : temp_path_) + ": " +
                                         std::strerror(errno));
}

Status ArchiveWriter::record(uint8_t type, std::span<const unsigned char> payload) {
    if (file_ == nullptr) return make_error(ErrorKind::io, "archive " + path_ + " is closed");
    std::vector<unsigned char> header;
    append_le(header, type, 1);
    append_le(header, 0, 3);
    append_le(header, payload.size(), 4);
    if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) return fail("write");
    if (!payload.empty() && std::fwrite(payload.data(), 1, payload.size(), file_) != payload.size()) return fail("write");
    return {};
}

Status ArchiveWriter::begin_object(const std::string& dir, const Dblk& dblk) {
    if (in_object_) return make_error(ErrorKind::usage, "archive object not ended");
    if (dir.size() > 0xFFFF || dblk.wire().size() > 0xFFFF) return make_error(ErrorKind::usage, "object too large for the archive");
    std::vector<unsigned char> p;
    append_le(p, dir.size(), 2);
    p.insert(p.end(), dir.begin(), dir.end());
    append_le(p, dblk.wire().size(), 2);
    p.insert(p.end(), dblk.wire().begin(), dblk.wire().end());
    in_object_ = true;
    return record(REC_OBJECT, p);
}

Status ArchiveWriter::stream_header(const GRFS_STREAM_INFO& header) {
    if (!in_object_) return make_error(ErrorKind::usage, "stream outside an object");
    return record(REC_STREAM, stream_header_bytes(header));
}

Status ArchiveWriter::data(std::span<const unsigned char> bytes) {
    if (!in_object_) return make_error(ErrorKind::usage, "data outside an object");
    if (bytes.empty()) return {};
    if (bytes.size() > kMaxDataRecord) return make_error(ErrorKind::usage, "data record too large");
    data_bytes_ += bytes.size();
    return record(REC_DATA, bytes);
}

Status ArchiveWriter::end_object(const ObjectOutcome& outcome) {
    if (!in_object_) return make_error(ErrorKind::usage, "no archive object to end");
    std::vector<unsigned char> p;
    append_le(p, static_cast<uint16_t>(outcome.retcode), 2);
    append_le(p, outcome.stage, 1);
    append_le(p, 0, 1);
    append_le(p, 0, 4);
    append_le(p, outcome.bytes, 8);
    in_object_ = false;
    ++objects_;
    return record(REC_OBJECT_END, p);
}

Status ArchiveWriter::finish() {
    if (in_object_) return make_error(ErrorKind::usage, "archive object not ended");
    std::vector<unsigned char> p;
    append_le(p, objects_, 8);
    append_le(p, data_bytes_, 8);
    if (Status s = record(REC_ARCHIVE_END, p); !s.ok()) return s;
    if (std::fflush(file_) != 0) return fail("write");
    if (fsync(fileno(file_)) != 0 && errno != EINVAL) return fail("sync");
    FILE* f = file_;
    file_ = nullptr;
    if (std::fclose(f) != 0) return fail("close");
    if (rename(temp_path_.c_str(), path_.c_str()) != 0) {
        const Status s = make_error(ErrorKind::io, "cannot rename " + temp_path_ + " to " + path_ + ": " + std::strerror(errno));
        discard();
        return s;
    }
    keep_on_interrupt();
    temp_path_.clear();
    return {};
}

}  // namespace grfs_client
