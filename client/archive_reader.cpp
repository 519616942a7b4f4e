#include "client/archive_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "client/le_bytes.h"

namespace grfs_client {

Status ArchiveReader::bad(const std::string& what) const {
    return make_error(ErrorKind::archive, path_ + ": " + what + " at byte " + std::to_string(position_));
}

Status ArchiveReader::read_exact(void* out, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd_.get(), static_cast<char*>(out) + done, n - done, static_cast<off_t>(position_ + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return make_error(ErrorKind::io, "cannot read " + path_ + ": " + std::strerror(errno));
        if (got == 0) return bad("unexpected end of file");
        done += static_cast<size_t>(got);
    }
    position_ += n;
    return {};
}

Result<ArchiveReader> ArchiveReader::open(const std::string& path) {
    ArchiveReader r;
    r.path_ = path;
    r.fd_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!r.fd_.valid()) return make_error(ErrorKind::io, "cannot open " + path + ": " + std::strerror(errno));
    struct stat st{};
    if (fstat(r.fd_.get(), &st) != 0) return make_error(ErrorKind::io, "cannot examine " + path + ": " + std::strerror(errno));
    r.file_size_ = static_cast<uint64_t>(st.st_size);

    unsigned char header[kArchiveHeaderSize];
    if (Status s = r.read_exact(header, sizeof header); !s.ok()) return r.bad("not a grfsclient archive");
    if (std::memcmp(header, kArchiveMagic, sizeof kArchiveMagic) != 0) return r.bad("not a grfsclient archive");
    const auto version = read_le(header + 8, 2);
    if (version != kArchiveVersion) return r.bad("archive format version " + std::to_string(version) + " is not supported");

    unsigned char rec[kRecordHeaderSize];
    if (Status s = r.read_exact(rec, sizeof rec); !s.ok()) return s;
    const uint32_t length = static_cast<uint32_t>(read_le(rec + 4, 4));
    if (rec[0] != REC_INFO || length > kMaxInfoRecord) return r.bad("archive information missing");
    std::string text(length, '\0');
    if (Status s = r.read_exact(text.data(), length); !s.ok()) return s;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        auto eq = line.find('=');
        if (eq != std::string::npos) r.info_.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        start = end + 1;
    }
    return r;
}

Result<bool> ArchiveReader::next(ArchivedObject& object) {
    if (ended_) return false;
    unsigned char rec[kRecordHeaderSize];
    auto record_header = [&](uint8_t& type, uint32_t& length) -> Status {
        if (position_ == file_size_) return bad("archive ends without its closing record (unfinished backup?)");
        if (Status s = read_exact(rec, sizeof rec); !s.ok()) return s;
        type = rec[0];
        length = static_cast<uint32_t>(read_le(rec + 4, 4));
        if (length > file_size_ - position_) return bad("record longer than the file");
        return {};
    };

    uint8_t type = 0;
    uint32_t length = 0;
    if (Status s = record_header(type, length); !s.ok()) return s;
    if (type == REC_ARCHIVE_END) {
        unsigned char p[16];
        if (length != sizeof p) return bad("bad closing record");
        if (Status s = read_exact(p, sizeof p); !s.ok()) return s;
        object_count_ = read_le(p, 8);
        data_bytes_ = read_le(p + 8, 8);
        if (object_count_ != objects_seen_) return bad("closing record counts " + std::to_string(object_count_) + " objects, archive holds " + std::to_string(objects_seen_));
        ended_ = true;
        return false;
    }
    if (type != REC_OBJECT || length > kMaxObjectRecord || length < 4) return bad("object record expected");
    std::vector<unsigned char> p(length);
    if (Status s = read_exact(p.data(), length); !s.ok()) return s;
    const size_t dir_length = read_le(p.data(), 2);
    if (2 + dir_length + 2 > length) return bad("bad object record");
    const size_t dblk_length = read_le(p.data() + 2 + dir_length, 2);
    if (2 + dir_length + 2 + dblk_length != length) return bad("bad object record");
    object = ArchivedObject{};
    object.index = objects_seen_;
    object.dir.assign(reinterpret_cast<const char*>(p.data() + 2), dir_length);
    auto dblk = Dblk::from_wire(std::span(p.data() + 4 + dir_length, dblk_length));
    if (!dblk.ok()) return bad("bad DBLK: " + dblk.error().text);
    object.dblk = std::move(*dblk);

    for (;;) {
        if (Status s = record_header(type, length); !s.ok()) return s;
        if (type == REC_STREAM) {
            unsigned char h[16];
            if (length != sizeof h) return bad("bad stream record");
            if (Status s = read_exact(h, sizeof h); !s.ok()) return s;
            ArchivedStream stream;
            stream.has_header = true;
            stream.header.id = static_cast<uint32_t>(read_le(h, 4));
            stream.header.attrib = static_cast<uint16_t>(read_le(h + 4, 2));
            stream.header.reserved = static_cast<uint16_t>(read_le(h + 6, 2));
            stream.header.size.lsw = static_cast<uint32_t>(read_le(h + 8, 4));
            stream.header.size.msw = static_cast<uint32_t>(read_le(h + 12, 4));
            object.streams.push_back(stream);
        } else if (type == REC_DATA) {
            if (length == 0 || length > kMaxDataRecord) return bad("bad data record");
            if (object.streams.empty()) object.streams.emplace_back();  // bytes before any header
            ArchivedStream& stream = object.streams.back();
            stream.extents.push_back(ArchivedExtent{position_, length});
            stream.length += length;
            position_ += length;
        } else if (type == REC_OBJECT_END) {
            unsigned char e[16];
            if (length != sizeof e) return bad("bad object end record");
            if (Status s = read_exact(e, sizeof e); !s.ok()) return s;
            object.outcome.retcode = static_cast<int16_t>(read_le(e, 2));
            object.outcome.stage = e[2];
            object.outcome.bytes = read_le(e + 8, 8);
            uint64_t stored = 0;
            for (const auto& s : object.streams) stored += s.length;
            if (stored != object.outcome.bytes) return bad("object end counts " + std::to_string(object.outcome.bytes) + " bytes, object holds " + std::to_string(stored));
            ++objects_seen_;
            return true;
        } else {
            return bad("unexpected record type " + std::to_string(type) + " inside an object");
        }
    }
}

Status ArchiveReader::read(const ArchivedStream& stream, uint64_t offset, std::span<unsigned char> out) const {
    if (offset > stream.length || out.size() > stream.length - offset)
        return make_error(ErrorKind::usage, "read past the end of an archived stream");
    size_t done = 0;
    uint64_t skip = offset;
    for (const ArchivedExtent& e : stream.extents) {
        if (done == out.size()) break;
        if (skip >= e.length) {
            skip -= e.length;
            continue;
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(e.length - skip, out.size() - done));
        size_t got = 0;
        while (got < n) {
            ssize_t r = ::pread(fd_.get(), out.data() + done + got, n - got, static_cast<off_t>(e.file_offset + skip + got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return make_error(ErrorKind::io, "cannot read " + path_ + ": " + (r < 0 ? std::strerror(errno) : "end of file"));
            got += static_cast<size_t>(r);
        }
        done += n;
        skip = 0;
    }
    return {};
}

Result<std::vector<unsigned char>> ArchiveReader::read_all(const ArchivedStream& stream) const {
    std::vector<unsigned char> bytes(static_cast<size_t>(stream.length));
    if (Status s = read(stream, 0, bytes); !s.ok()) return s;
    return bytes;
}

}  // namespace grfs_client
