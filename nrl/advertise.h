// Resource advertisement: one process per local resource tells every
// configured backup server, in turn, the resource's name and the address
// where it accepts sessions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "nrl/nrl.h"

#include <ctime>

// A configured backup server. One whose name did not resolve has no address
// yet; the advertisement process looks it up again at its turn, at most
// once every kAdvLookupRetrySeconds.
struct AdvReceiver {
    uint32_t len;          // kTliAddrSize, 0 while unresolved
    unsigned char* addr;   // the server's IPv4 socket address (advertisement port); nullptr while unresolved
    const char* host;      // the name as configured (owned by the receivers list)
    time_t next_lookup;    // an unresolved name is not looked up before this time
};

extern AdvReceiver adv_receivers[kMaxAdvReceivers];
extern int adv_receiver_count;

constexpr unsigned kAdvFailurePauseSeconds = 30;   // after an open or bind failure
constexpr unsigned kAdvMinimumPassSeconds = 1;     // pause of a pass that would have none
constexpr unsigned kAdvLookupRetrySeconds = 10;    // least time between two lookups of an unresolved name

// Looks receiver i up again when it has no address and its time has come;
// prints one line when it resolves. True when it has an address.
bool ResolvePendingReceiver(int i);

uint16_t FindAdvertisementReceivers();
// Empties the receiver table (an initialisation without receivers has none).
void ClearAdvertisementReceivers();
uint16_t StartResourceAdvertiser(NRL_RESOURCE* resource);
void StopResourceAdvertiser(NRL_RESOURCE* resource);
// Replaces the advertisement process of a running resource: looks the new
// receivers up (one that does not resolve is kept and tried again later),
// kills the running process, takes the new table, interval and resource
// name, and starts a new one (StartResourceAdvertiser's result). The
// listening endpoint stays as it is.
uint16_t RestartResourceAdvertiser(NRL_RESOURCE* resource, const char* name, const Queue& receivers,
                                   int32_t interval);
// Runs the advertisement process; returns only when memory runs out.
void NRLAdvertisementSender(NRL_RESOURCE* resource);
// Bytes NOT read (0 = all read); EINTR is retried, anything else ends the loop.
uint16_t loop_read(int fd, void* buf, uint16_t len);

// The advertisement message: type 2, 0, size (LE: bytes from offset 6 on),
// resource type (LE), then name, address, address, host, each zero-terminated.
constexpr size_t kAdvHeaderSize = 6;
size_t AdvertisementLength(const char* name, const char* uaddr, const char* host);
// Writes the message into out, which must hold AdvertisementLength bytes;
// returns the number of bytes written, or 0 when out is too small or the
// size does not fit 16 bits.
size_t BuildAdvertisement(std::span<unsigned char> out, const char* name, uint16_t type,
                          const char* uaddr, const char* host);
