// Signal handlers of the agent's processes, installed by the listener:
// SIGINT and SIGTERM -> interrupt_handler, SIGUSR2 -> child_died.
#pragma once

// Shuts the network layer down (its resources, advertisement processes and
// children) when an interrupt ends a process. The listener sets it once the
// layer is up; while it is unset an interrupt only ends the process.
extern void (*on_interrupt_shutdown)();

// SIGINT/SIGTERM: shut down once, kill the listener when this process is not
// the listener, exit with status 1.
void interrupt_handler(int signal_number);

// SIGUSR2 in the listener: a session process ended. Reaps one child and
// counts the session off.
void child_died(int signal_number);
