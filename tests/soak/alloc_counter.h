// Counts of every heap allocation and release in this process, kept by the
// allocator entry points that alloc_counter.c defines for the whole program.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Blocks handed out (malloc, calloc, realloc of null, the aligned forms) and
// blocks given back (free of a block, realloc to size 0). Not thread-safe:
// the soak runs on one thread.
extern unsigned long long soak_allocations;
extern unsigned long long soak_frees;

#ifdef __cplusplus
}
#endif
