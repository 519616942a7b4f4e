#include "util/alloc.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

uint32_t our_malloc_debug = 0;

void* mymalloc(size_t size, const char* file, int line) {
    void* block = std::malloc(size);
    if (our_malloc_debug != 0) {
        std::printf("MALLDEBUG: ptr=%p pid=%d   alloc(%d) at %s %d\n", block, static_cast<int>(getpid()),
                    static_cast<int>(size), file, line);
        std::fflush(stdout);
    }
    return block;
}

void* mycalloc(size_t count, size_t size, const char* file, int line) {
    void* block = std::calloc(count, size);
    if (our_malloc_debug != 0) {
        std::printf("MALLDEBUG: ptr=%p pid=%d   calloc(%d,%d) at %s %d\n", block, static_cast<int>(getpid()),
                    static_cast<int>(count), static_cast<int>(size), file, line);
        std::fflush(stdout);
    }
    return block;
}

void myfree(void* block, const char* file, int line) {
    if (our_malloc_debug != 0) {
        std::printf("MALLDEBUG: ptr=%p pid=%d   free at %s %d\n", block, static_cast<int>(getpid()), file, line);
        std::fflush(stdout);
    }
    std::free(block);
}
