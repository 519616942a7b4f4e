// Refused attaches cost a guessing peer time and are reported: each refusal
// is one console line naming the peer and the name asked for, makes the
// session's next attach wait (1 s after the first refusal, doubling with
// each further one, at most 16 s), and the tenth refusal ends the session.
// An attach with no refusal before it is answered at once.
#pragma once

#include <cstdint>

struct GRFS_SESSION;

constexpr uint16_t kMaxAttachRefusals = 10;

// Waits until the session may answer an attach.
void AwaitAttachTurn(GRFS_SESSION* ses);

enum class AttachTarget { workstation, dle };

// After a refused attach has been answered: the console line, the wait for
// the next attach, and the end of the session at the tenth refusal.
void AttachRefused(GRFS_SESSION* ses, AttachTarget target, const char* name, const char* reason);
