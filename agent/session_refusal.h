// Session opens the listener refuses, and the console lines that report
// them. A peer that keeps trying must not flood the console: each address
// is reported at most once a minute for each reason.
#pragma once

#include <netinet/in.h>

inline constexpr const char* kRefusedNotAllowed = "not allowed";
inline constexpr const char* kRefusedTooManySessions = "too many sessions";

// "<prog>: session refused: peer=A.B.C.D:PORT reason=<reason>", unless this
// address was reported for this reason (one of the texts above) within the
// last minute.
void ReportRefusedSession(const sockaddr_in& peer, const char* reason);

// Refuses a freshly accepted connection before anything is read from it:
// the reply of a refused session open (status 1, zero data), then the
// endpoint is closed. Never waits on the peer.
void RefuseSessionOpen(int fd, const sockaddr_in& peer, const char* reason);
