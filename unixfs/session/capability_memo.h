// File capabilities a session restored, so that a change of owner or
// length after the close (which makes the kernel drop them) can put them
// back. A few are enough: set-information follows its object's close.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct CAPABILITY_MEMO {
    dev_t dev;
    ino_t ino;
    uint8_t len;                // 0: slot unused
    unsigned char value[32];
};

struct CAPABILITY_MEMOS {
    CAPABILITY_MEMO slot[16];
    size_t next;                // the slot a new file takes, round robin
};
