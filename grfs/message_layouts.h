// Body layouts of the GRFS messages, one routine per layout family. Used by
// grfs_xdr_message only; the header is coded before any of these runs.
#pragma once

#include "grfs/messages.h"
#include "grfs/xdr.h"

// Codes the body of a request (types 1 to 29). Returns false for a type
// without a layout; otherwise stores the body length in *length.
bool code_request_body(GRFS_XDR* xdr, GRFS_MESSAGE* msg, int* length);

// Codes the body of a reply (types 65 to 93), honouring the layouts that are
// coded only when retcode is 0. Returns false for a type without a layout.
bool code_reply_body(GRFS_XDR* xdr, GRFS_MESSAGE* msg, int* length);

// A body length made of a constant and a count taken from the wire; kept
// within int whatever the count claims.
int body_length_plus(long long constant, long long count);

// Largest count that a char-array routine takes.
int clamp_count(unsigned long long count);
