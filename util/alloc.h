// Allocation that can trace every block with its caller's source location.
#pragma once

#include <cstddef>
#include <cstdint>

extern uint32_t our_malloc_debug;

void* mymalloc(size_t size, const char* file, int line);
void* mycalloc(size_t count, size_t size, const char* file, int line);
void myfree(void* block, const char* file, int line);

#define MYMALLOC(size) mymalloc((size), __FILE__, __LINE__)
#define MYCALLOC(count, size) mycalloc((count), (size), __FILE__, __LINE__)
#define MYFREE(block) myfree((block), __FILE__, __LINE__)
