// Decoding and dispatching one received GRFS request to its handler.
#pragma once

#include <cstdint>

struct GRFS_SESSION;
struct GRFS_MESSAGE;

// Decodes the length received bytes of buffer into the session's
// coding_buf and hands the request to its handler, which replies. A request
// of a type without a handler gets no reply; one the decoder finds
// incomplete, or whose length fields claim more than arrived or than the
// record holds, is not handed to its handler but answered with a header-only
// reply of retcode -495; the two verify requests are confirmed as long as
// their fields arrived, whatever data they carry. Returns the handler's
// result (0 when none ran).
int ProcessGRFSMsg(GRFS_SESSION* ses, unsigned char* buffer, int length);

// The reply type of a request type that has a handler here, 0 for a type
// that gets no reply.
uint8_t DispatchReplyType(uint8_t request_type);
