// One session with an agent: the TCP connection, the session-open exchange,
// and GRFS messages carried in NRL data messages, one request in flight.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "client/nrl_framing.h"
#include "client/result.h"
#include "client/socket_io.h"
#include "grfs/messages.h"
#include "util/unique_fd.h"

namespace grfs_client {

struct ConnectOptions {
    int connect_timeout_ms = 10000;
    // How long a reply may take; a silent agent is reported, never waited
    // for forever. Negative: no limit.
    int reply_timeout_ms = 300000;
};

// The reply type a request is answered with.
uint8_t expected_reply_type(uint8_t request_type);

class Connection {
public:
    // Connects and runs the session-open exchange. A refusal (nonzero
    // status) is ErrorKind::refused; the connection is then closed.
    static Result<Connection> open(const Endpoint& endpoint, const ConnectOptions& options = {});

    Connection(Connection&&) noexcept = default;
    Connection& operator=(Connection&&) noexcept = default;
    ~Connection();

    // Encodes msg behind the NRL header into one buffer and sends it. The
    // encoding leaves any DBLK of msg in wire order: do not send msg again
    // without refilling it.
    Status send(GRFS_MESSAGE& msg);

    // Receives one NRL message and decodes the GRFS message in it from
    // exactly the received bytes. body_length receives the decoded body
    // length. A deallocation from the agent is ErrorKind::closed.
    Status receive(GRFS_MESSAGE& msg, int* body_length = nullptr);

    // Gives request a fresh request_id, sends it, receives the reply and
    // checks its type and request_id. The reply's retcode is for the caller.
    Status transact(GRFS_MESSAGE& request, GRFS_MESSAGE& reply);

    // Raw access, for tests and tools: one NRL message of any type, and the
    // data of the next NRL data message as received.
    Status send_nrl(uint8_t type, std::span<const unsigned char> data, uint16_t size_field);
    Result<std::vector<unsigned char>> receive_data();

    // Ends the session: a deallocation message with the reason, then the
    // connection is closed. Harmless when already closed.
    void end(uint16_t reason = 0);

    bool is_open() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    const Endpoint& endpoint() const { return endpoint_; }
    const SessionOpenReply& open_reply() const { return open_reply_; }
    const ConnectOptions& options() const { return options_; }

    // Two message records for helpers that need scratch space; large
    // (tens of kilobytes), allocated once per connection.
    GRFS_MESSAGE& request_scratch() { return *request_; }
    GRFS_MESSAGE& reply_scratch() { return *reply_; }

private:
    Connection() = default;
    Status receive_nrl(std::vector<unsigned char>& data);

    UniqueFd fd_;
    Endpoint endpoint_;
    ConnectOptions options_;
    SessionOpenReply open_reply_;
    std::vector<unsigned char> send_buffer_;
    std::vector<unsigned char> receive_buffer_;
    std::unique_ptr<GRFS_MESSAGE> request_;
    std::unique_ptr<GRFS_MESSAGE> reply_;
    uint32_t next_request_id_ = 1;
};

// A message record cleared to zero, header set.
void start_message(GRFS_MESSAGE& msg, uint8_t type);

}  // namespace grfs_client
