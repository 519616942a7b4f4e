#include "client/archive_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

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
    w.file_ = std::fopen(path.c_str(), "wbe");
    if (w.file_ == nullptr) return make_error(ErrorKind::io, "cannot create " + path + ": " + std::strerror(errno));
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
        if (file_ != nullptr) std::fclose(file_);
        file_ = other.file_;
        other.file_ = nullptr;
        path_ = std::move(other.path_);
        in_object_ = other.in_object_;
        objects_ = other.objects_;
        data_bytes_ = other.data_bytes_;
    }
    return *this;
}

ArchiveWriter::~ArchiveWriter() {
    // An archive that was not finished keeps what was written; without its
    // closing record readers know it is incomplete.
    if (file_ != nullptr) std::fclose(file_);
}

Status ArchiveWriter::fail(const std::string& what) {
    return make_error(ErrorKind::io, "cannot " + what + " " + path_ + ": " + std::strerror(errno));
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
    return {};
}

}  // namespace grfs_client
