// Transport endpoints in the shape of the System V transport interface, over
// BSD TCP/IPv4 sockets. An endpoint is a socket descriptor; addresses travel
// as 16-byte IPv4 socket addresses inside netbuf records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/uio.h>

struct netbuf {
    uint32_t maxlen;     // size of buf
    uint32_t len;        // bytes of buf in use
    unsigned char* buf;  // one IPv4 socket address (kTliAddrSize bytes)
};

struct t_bind {
    netbuf addr;
    uint32_t qlen;  // listen backlog; 0 = bind without listening
};

struct t_call {
    netbuf addr;
    netbuf opt;
    netbuf udata;
    int32_t sequence;  // after an accept: the accepted connection's descriptor
};

struct t_info {
    int32_t addr;
    int32_t options;
    int32_t tsdu;  // largest unit one send may hand over; 0 or -1 = no limit
    int32_t etsdu;
    int32_t connect;
    int32_t discon;
    int32_t servtype;
};

// Structure types for t_alloc_v / t_free_v.
enum TliStructType : int { T_BIND = 1, T_CALL = 3 };
// Field selectors for t_alloc_v.
enum TliFields : int { T_ADDR = 0x01, T_OPT = 0x02, T_UDATA = 0x04, T_ALL = 0x07 };
// Transport error numbers: this layer only ever reports system errors.
enum TliError : int { TSYSERR = 8, TLOOK = 9 };

constexpr size_t kTliAddrSize = 16;          // sizeof an IPv4 socket address
constexpr uint32_t kFirstBindPort = 8192;    // where the bind port search starts
constexpr int kMaxTliSend = 0xFFFF;          // largest piece for one send
constexpr unsigned kConnectTimeoutSeconds = 10;
constexpr size_t kLocalHostNameSize = 100;
constexpr uint16_t kDefaultAdvertisementPort = 6101;  // no "grfs"/"tcp" service entry

extern int t_errno;                          // always TSYSERR
extern uint32_t tli_bind_port;               // next port t_bind_v tries; only grows
extern char uw_local_host_name[kLocalHostNameSize];
extern uint32_t gb_nrl_timeout;              // readiness wait of t_snd_v/t_rcv_v, seconds; 0 = none

// Endpoint operations; -1 means failure with errno set.
int t_open_v(const char* device, int oflags, t_info* info);
int t_bind_v(int fd, t_bind* req, t_bind* ret);
int t_listen_v(int fd);
int t_open_and_accept_v(int listen_fd, t_call* call);
int t_connect_v(int fd, t_call* sndcall, t_call* rcvcall);  // 0 connected, 1 any failure
int t_snd_v(int fd, const void* buf, unsigned len, int flags);
int t_rcv_v(int fd, void* buf, unsigned len);
// Gathering send and scattering receive: one system call for several
// pieces of memory (the NRL header and the message behind it).
// With more, the transport may hold the bytes back for what follows at once
// (the data of the same message).
int t_sndv_v(int fd, const iovec* iov, int count, bool more = false);
// Sends up to len bytes that wait in a pipe (pipe_rd, its read end) without
// copying them through user memory; the count or -1.
int t_splice_v(int fd, int pipe_rd, unsigned len);
int t_rcvv_v(int fd, const iovec* iov, int count);
int t_close_v(int fd);
// Closes an accepted connection without lingering: what was sent is still
// delivered, but the close does not wait for the peer to acknowledge it, so
// a peer that stops answering cannot hold the caller.
int CloseEndpointAtOnce(int fd);
int t_getinfo_v(int fd, t_info* info);
int t_look_v(int fd);
int t_sndrel_v(int fd);
int t_rcvrel_v(int fd);
int t_unbind_v(int fd);
int t_getstate_v(int fd);
int t_snddis_v(int fd);
int t_rcvdis_v(int fd);
void* t_alloc_v(int fd, int struct_type, int fields);
int t_free_v(void* record, int struct_type);

// Whole-buffer transfers: the number of bytes NOT transferred (0 = all).
unsigned loop_t_snd(int fd, const void* buf, unsigned len, unsigned largest_piece);
unsigned loop_t_rcv(int fd, void* buf, unsigned len);
// Sends the count pieces of iov whole, in as few calls as the transport
// takes; iov is consumed (advanced past what was sent). Bytes NOT sent.
unsigned loop_t_sndv(int fd, iovec* iov, int count, bool more = false);
// Sends len bytes from a pipe whole. Bytes NOT sent.
unsigned loop_t_splice(int fd, int pipe_rd, unsigned len);
int MaxTLISend(int fd);
// Waits up to `seconds` for the endpoint to have something to receive (bytes
// or the peer's end) or, with receive false, room to send. A signal does not
// end the wait early. False when the time ran out.
bool EndpointReadyWithin(int fd, bool receive, uint32_t seconds);
// Makes transfers on the endpoint return at once instead of waiting (on), or
// wait again (off). 0, or -1 with errno set.
int SetEndpointNonBlocking(int fd, bool on);
// Bounds every send on the endpoint (t_snd_v, t_sndv_v, t_splice_v): one that
// can move no byte for `seconds` fails with errno EAGAIN instead of waiting
// on. 0 lifts the bound. 0, or -1 with errno set.
int SetEndpointSendLimit(int fd, uint32_t seconds);
void check_tli(const char* tag, int fd, int result);

// Addresses. Texts and the netbuf live in static storage, overwritten by the
// next call in the same process.
const char* uaddress(const netbuf* addr);
netbuf* getnetaddrbyname(const char* host);
const char* merged_addr(const netbuf* addr);
const char* FindTLIDevice();
// Dotted IPv4 text of the peer of a connected endpoint (at most
// INET_ADDRSTRLEN bytes with the terminator); false when it is not known.
bool EndpointPeerText(int fd, char* out, size_t size);
// "A.B.C.D:PORT", as console lines name a peer (address in network byte
// order, port in host order).
struct EndpointText {
    char text[16 + 6];
};
EndpointText AddressPortText(uint32_t address, uint16_t port);

// First IPv4 address of a host, network byte order; false when it has none.
bool LookupHostIPv4(const char* host, uint32_t* address);
// Port of the advertisement service ("grfs"/"tcp"), network byte order, or 0
// when the services database has no entry.
uint16_t LookupServicePort(const char* service);
