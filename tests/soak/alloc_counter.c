// The soak's allocator: glibc's own, behind counting entry points. Defined in
// the executable, these names take the place of glibc's for every caller,
// glibc itself included, so the blocks that fopen, opendir and getifaddrs take
// inside the C library are counted too. A sanitizer's allocator would replace
// them, which is why the soak is never built with one.
#include <errno.h>
#include <stddef.h>

#include "alloc_counter.h"

// glibc's allocator under its own names.
extern void* __libc_malloc(size_t size);
extern void __libc_free(void* block);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void* __libc_valloc(size_t size);
extern void* __libc_pvalloc(size_t size);

unsigned long long soak_allocations;
unsigned long long soak_frees;

static void* counted(void* block)
{
    if (block != NULL) {
        ++soak_allocations;
    }
    return block;
}

void* malloc(size_t size)
{
    return counted(__libc_malloc(size));
}

void* calloc(size_t count, size_t size)
{
    return counted(__libc_calloc(count, size));
}

void free(void* block)
{
    if (block != NULL) {
        ++soak_frees;
    }
    __libc_free(block);
}

// A resized block stays one block; only realloc's malloc and free forms count.
void* realloc(void* block, size_t size)
{
    void* result = __libc_realloc(block, size);
    if (block == NULL) {
        counted(result);
    } else if (size == 0 && result == NULL) {
        ++soak_frees;
    }
    return result;
}

void* memalign(size_t alignment, size_t size)
{
    return counted(__libc_memalign(alignment, size));
}

void* aligned_alloc(size_t alignment, size_t size)
{
    return counted(__libc_memalign(alignment, size));
}

int posix_memalign(void** result, size_t alignment, size_t size)
{
    if (alignment == 0 || alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void* block = counted(__libc_memalign(alignment, size));
    if (block == NULL) {
        return ENOMEM;
    }
    *result = block;
    return 0;
}

void* valloc(size_t size)
{
    return counted(__libc_valloc(size));
}

void* pvalloc(size_t size)
{
    return counted(__libc_pvalloc(size));
}
