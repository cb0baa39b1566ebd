// Large zero-filled buffers for the cache's chunks.
#pragma once

#include <cstddef>

// A zero-filled buffer of size bytes, aligned to 2 MiB where the system allows, so that a
// chunk can sit in one huge page and is faulted in once instead of page by page. nullptr
// when no memory is left.
void* chunk_buffer_alloc(std::size_t size);
// Gives back a buffer of chunk_buffer_alloc with the same size; nullptr does nothing.
void chunk_buffer_free(void* p, std::size_t size);
