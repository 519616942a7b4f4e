// Re-reading the configuration while the agent runs. SIGHUP asks the
// listener for it; the handler only marks the request and wakes the
// listener's wait, and the listener does the work in its loop.
#pragma once

struct WS_CNTL;
struct NRL_RESOURCE;

// Remembers the working directory the agent was started in (call before
// the listener changes to "/"): a reload takes the configuration file and
// relative export paths from there, as the start did.
void RememberStartDirectory();

// Installs the SIGHUP handler of the listener.
void InstallReloadHandler();
// Read end of the pipe the handler writes to, for the listener's wait; -1
// before InstallReloadHandler.
int ReloadWakeFd();
// True once for every run of requests that arrived since the last call.
bool TakeReloadRequest();
// In a forked session process: SIGHUP is ignored and the listener's wake
// pipe closed.
void IgnoreReloadRequests();

// Reads the configuration file again into a fresh record. When it is valid
// and its backup servers can be found, sessions forked from now on use it,
// the advertisement process is restarted with its servers and interval, and
// "<prog>: Configuration reloaded" is printed; settings that only a restart
// changes (force_address, logfile) keep their running values, with a line
// naming each that differs. Otherwise the reader's messages are followed by
// "<prog>: Configuration not reloaded; keeping the running one" and nothing
// changes.
void ReloadConfiguration(WS_CNTL* ws, NRL_RESOURCE* resource);
