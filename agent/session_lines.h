// The two console lines of every admitted session:
//   session start pid=P peer=A:PORT
//   session end pid=P peer=A:PORT seconds=S dles=N,N objects_read=.. bytes_read=..
//       objects_written=.. bytes_written=.. objects_deleted=.. errors=.. end=CAUSE
// (one line). The session process writes both itself; one that dies first
// (a signal) has the missing ones written by the listener when it reaps it,
// from the counts the session kept in memory shared with the listener.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

struct SessionTally;

// Maps the shared records, one per session slot (listener, before any
// session). False when the memory cannot be had: sessions then run without
// their lines.
bool SessionLinesInit();

// Before the fork of a session process (child-ended signals held): a record
// for the session with this peer, started now; null when none is free.
SessionTally* ClaimSessionTally(const sockaddr_in& peer);
// After the fork, in the listener, signals still held: the session runs as
// pid (pid < 0: the fork failed, the record is free again).
void SessionTallyForked(SessionTally* tally, pid_t pid);

// In the session process.
void WriteSessionStart(SessionTally* tally);
void WriteSessionEnd(SessionTally* tally, const char* cause);

// From child_died (async-signal-safe): the session process pid was reaped
// with this wait status.
void NoteSessionReaped(pid_t pid, int wait_status);
// In the listener's loop: writes the lines reaped sessions did not write
// and frees their records.
void ReportReapedSessions();
