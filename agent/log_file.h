// The log file that receives the message dumps. Administrators rotate it:
// it is appended to, never truncated, readable by root alone (old dumps may
// hold what a backup server sent), and opened again by name at every
// SIGHUP, so that after a rename the agent writes to a new file.
#pragma once

struct WS_CNTL;

// Opens the file named by ws->log_file_name (relative names are taken from
// the current directory, once, for every later reopening), or "/dev/null"
// when there is none or it cannot be opened; sets ws->log_file and the
// message trace's stream. False only when "/dev/null" cannot be opened
// either (with its message).
bool OpenLogFile(WS_CNTL* ws);

// Opens the log file again by the name it was first opened with, and makes
// the new stream the one written to; the old one is closed. When the new
// open fails, a console line says so and the old stream stays.
void ReopenLogFile(WS_CNTL* ws);
