#include "client/connection.h"

#include <cstring>
#include <memory>
#include <string>

namespace grfs_client {

uint8_t expected_reply_type(uint8_t request_type) {
    switch (request_type) {
    case GRFS_FIND_FIRST_DLE:
    case GRFS_FIND_NEXT_DLE:
        return GRFS_FIND_DLE_STAT;
    case GRFS_FIND_FIRST_OBJ:
    case GRFS_FIND_NEXT_OBJ:
        return GRFS_FIND_OBJ_STAT;
    default:
        return static_cast<uint8_t>(request_type + GRFS_REPLY_OFFSET);
    }
}

void start_message(GRFS_MESSAGE& msg, uint8_t type) {
    // Only the header and the fixed fields need clearing; data arrays are
    // coded up to their stated sizes.
    std::memset(&msg, 0, offsetof(GRFS_MESSAGE, body) + 512);
    msg.hdr.msg_type = type;
}

Result<Connection> Connection::open(const Endpoint& endpoint, const ConnectOptions& options) {
    auto fd = connect_tcp(endpoint, options.connect_timeout_ms);
    if (!fd.ok()) return fd.error();
    Connection c;
    c.fd_ = std::move(*fd);
    c.endpoint_ = endpoint;
    c.options_ = options;
    c.send_buffer_.resize(kNrlMaxMessage + 1);
    c.receive_buffer_.reserve(kNrlMaxMessage);
    c.request_ = std::make_unique<GRFS_MESSAGE>();
    c.reply_ = std::make_unique<GRFS_MESSAGE>();

    const auto request = session_open_request();
    if (Status s = send_all(c.fd(), request, options.reply_timeout_ms); !s.ok()) {
        s.text = "session open with " + endpoint.text() + ": " + s.text;
        return s;
    }
    std::array<unsigned char, kSessionOpenReplySize> reply{};
    if (Status s = recv_exact(c.fd(), reply, options.reply_timeout_ms, "the session-open reply"); !s.ok()) {
        s.text = "session open with " + endpoint.text() + ": " + s.text;
        return s;
    }
    c.open_reply_ = parse_session_open_reply(reply);
    if (c.open_reply_.status != 0) {
        c.fd_.reset();
        // The agent refuses with 1 both when it serves its 4 sessions and
        // when the peer's address is not on its allow list.
        std::string why = c.open_reply_.status == 1 ? "4 sessions already, or this address is not allowed"
                                                    : "status " + std::to_string(c.open_reply_.status);
        return make_error(ErrorKind::refused, "session open with " + endpoint.text() + ": refused (" + why + ")");
    }
    return c;
}

Connection::~Connection() = default;

Status Connection::send(GRFS_MESSAGE& msg) {
    if (!fd_.valid()) return make_error(ErrorKind::closed, "the session is closed");
    unsigned char* body = send_buffer_.data() + kNrlHeaderSize;
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_ENCODE);
    grfs_set_xdr_buffer(&xdr, body, kNrlMaxData);
    const int length = grfs_xdr_message(&xdr, &msg, 1);
    const int total = GRFS_MSG_HEADER_SIZE + length;
    if (grfs_xdr_failed(&xdr) || length < 0 || total > kNrlMaxData) {
        return make_error(ErrorKind::protocol, std::string("request ") + type_to_str(msg.hdr.msg_type) +
                                                   " does not fit one message");
    }
    // Bytes a layout states but does not code go out as zeros.
    const int coded = grfs_get_xdr_length(&xdr);
    if (coded < total) std::memset(body + coded, 0, static_cast<size_t>(total - coded));
    put_nrl_header(send_buffer_.data(), NRL_DATA, static_cast<uint16_t>(total));
    Status s = send_all(fd_.get(), std::span<const unsigned char>(send_buffer_.data(), static_cast<size_t>(kNrlHeaderSize + total)),
                        options_.reply_timeout_ms);
    if (!s.ok()) fd_.reset();
    return s;
}

Status Connection::send_nrl(uint8_t type, std::span<const unsigned char> data, uint16_t size_field) {
    if (!fd_.valid()) return make_error(ErrorKind::closed, "the session is closed");
    if (data.size() > static_cast<size_t>(kNrlMaxData)) return make_error(ErrorKind::protocol, "NRL message too long");
    put_nrl_header(send_buffer_.data(), type, size_field);
    if (!data.empty()) std::memcpy(send_buffer_.data() + kNrlHeaderSize, data.data(), data.size());
    return send_all(fd_.get(), std::span<const unsigned char>(send_buffer_.data(), kNrlHeaderSize + data.size()),
                    options_.reply_timeout_ms);
}

Status Connection::receive_nrl(std::vector<unsigned char>& data) {
    if (!fd_.valid()) return make_error(ErrorKind::closed, "the session is closed");
    unsigned char header_bytes[kNrlHeaderSize];
    Status s = recv_exact(fd_.get(), header_bytes, options_.reply_timeout_ms, "a reply header");
    if (!s.ok()) {
        fd_.reset();
        return s;
    }
    const NrlHeader header = parse_nrl_header(header_bytes);
    if (header.type == NRL_DEALLOC) {
        fd_.reset();
        return make_error(ErrorKind::closed, "the agent ended the session (reason " + std::to_string(header.size) + ")");
    }
    if (header.type != NRL_DATA) {
        fd_.reset();
        return make_error(ErrorKind::protocol, "unexpected NRL message type " + std::to_string(header.type));
    }
    data.resize(header.size);
    s = recv_exact(fd_.get(), data, options_.reply_timeout_ms, "a reply");
    if (!s.ok()) fd_.reset();
    return s;
}

Result<std::vector<unsigned char>> Connection::receive_data() {
    std::vector<unsigned char> data;
    if (Status s = receive_nrl(data); !s.ok()) return s;
    return data;
}

Status Connection::receive(GRFS_MESSAGE& msg, int* body_length) {
    if (Status s = receive_nrl(receive_buffer_); !s.ok()) return s;
    const int size = static_cast<int>(receive_buffer_.size());
    if (size < GRFS_MSG_HEADER_SIZE) {
        return make_error(ErrorKind::protocol, "reply of " + std::to_string(size) + " bytes is shorter than a header");
    }
    start_message(msg, 0);
    GRFS_XDR xdr{};
    grfs_set_xdr_direction(&xdr, GRFS_XDR_DECODE);
    grfs_set_xdr_buffer(&xdr, receive_buffer_.data(), size);
    GrfsCodeStatus status = GRFS_CODE_COMPLETE;
    // A header alone is a whole reply whatever its type's layout.
    const int stated = size == GRFS_MSG_HEADER_SIZE ? 0 : size;
    const int length = grfs_xdr_message(&xdr, &msg, stated, &status);
    if (body_length != nullptr) *body_length = length;
    if (status != GRFS_CODE_COMPLETE) {
        return make_error(ErrorKind::protocol, std::string("malformed reply ") + type_to_str(msg.hdr.msg_type) + " (" +
                                                   std::to_string(size) + " bytes)");
    }
    return {};
}

Status Connection::transact(GRFS_MESSAGE& request, GRFS_MESSAGE& reply) {
    const uint8_t type = request.hdr.msg_type;
    const uint32_t id = next_request_id_++;
    request.hdr.request_id = id;
    if (Status s = send(request); !s.ok()) return s;
    if (Status s = receive(reply); !s.ok()) return s;
    if (reply.hdr.msg_type != expected_reply_type(type) || reply.hdr.request_id != id) {
        fd_.reset();
        return make_error(ErrorKind::protocol, std::string("expected ") + type_to_str(expected_reply_type(type)) + " for request " +
                                                   std::to_string(id) + ", got " + type_to_str(reply.hdr.msg_type) +
                                                   " for request " + std::to_string(reply.hdr.request_id));
    }
    return {};
}

void Connection::end(uint16_t reason) {
    if (!fd_.valid()) return;
    unsigned char header[kNrlHeaderSize];
    put_nrl_header(header, NRL_DEALLOC, reason);
    (void)send_all(fd_.get(), header, 1000);
    fd_.reset();
}

}  // namespace grfs_client
