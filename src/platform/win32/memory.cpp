#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/memory.h"

// Committed pages come zeroed; large pages would need a privilege a host rarely has.
void* chunk_buffer_alloc(std::size_t size) {
    return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void chunk_buffer_free(void* p, std::size_t /*size*/) {
    if (p != nullptr) VirtualFree(p, 0, MEM_RELEASE);
}
