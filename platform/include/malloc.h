// The C runtime's aligned allocation (malloc.h), beside the host's own malloc.h.
#pragma once
#include_next <malloc.h>
#include <stddef.h>

extern "C" {
void *_aligned_malloc(size_t size, size_t alignment);
void _aligned_free(void *memory);
}
