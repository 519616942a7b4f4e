// Readable texts for the retcodes that replies carry.
#pragma once

#include <cstdint>
#include <string>

#include "client/result.h"

namespace grfs_client {

// "access denied" for -507 and so on; "unknown result" for values the agent
// does not send.
const char* retcode_meaning(int16_t retcode);

// "-507 (access denied)".
std::string retcode_text(int16_t retcode);

// The error for a request answered with a nonzero retcode:
// "GRFS_OPEN_OBJ: -507 (access denied)", prefixed with what when given.
Error retcode_error(int request_type, int16_t retcode, const std::string& what = {});

}  // namespace grfs_client
