// Session opens the listener refuses, and the console lines that report
// them. A peer that keeps trying must not flood the console: each address
// is reported at most once a minute for each reason, and all of them
// together in at most kRefusalLinesPerMinute lines a minute; the refusals
// beyond those are counted and reported in one line when the minute is
// over (or the listener stops):
//   "<prog>: session refusals not reported: N (at most 50 lines a minute)"
#pragma once

#include <netinet/in.h>

inline constexpr const char* kRefusedNotAllowed = "not allowed";
inline constexpr const char* kRefusedTooManySessions = "too many sessions";
inline constexpr unsigned kRefusalLinesPerMinute = 50;

// "<prog>: session refused: peer=A.B.C.D:PORT reason=<reason>", unless this
// address was reported for this reason (one of the texts above) within the
// last minute.
void ReportRefusedSession(const sockaddr_in& peer, const char* reason);

// In the listener's loop: once the minute of the lines is over, the line
// that counts the refusals it did not report, if there were any.
void ReportUnreportedRefusals();
// The same line at once, from the handler of the signal that stops the
// listener (async-signal-safe; nothing in a process other than the one that
// counted them).
void ReportUnreportedRefusalsAtExit();

// Refuses a freshly accepted connection before anything is read from it:
// the reply of a refused session open (status 1, zero data), then the
// endpoint is closed. Never waits on the peer.
void RefuseSessionOpen(int fd, const sockaddr_in& peer, const char* reason);
