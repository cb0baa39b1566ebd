#include "platform/memory.h"

#include <cstdint>
#include <sys/mman.h>

namespace {

constexpr std::size_t k_huge_page = std::size_t{2} << 20;

} // namespace

void* chunk_buffer_alloc(std::size_t size) {
    // Anonymous pages come zeroed, so nothing has to touch them here. One spare huge page of
    // address space lets the buffer start on a 2 MiB boundary; the unused ends go back.
    const std::size_t span = size + k_huge_page;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + k_huge_page - 1) & ~(k_huge_page - 1);
    const std::size_t head = aligned - start;
    if (head > 0) munmap(raw, head);
    if (span - head > size) munmap(reinterpret_cast<void*>(aligned + size), span - head - size);
    auto* p = reinterpret_cast<void*>(aligned);
    // No MADV_HUGEPAGE: on virtual machines that report free 2 MiB blocks to the host (free
    // page reporting), every fresh huge page faults in from the host again, and cold reads
    // measured up to ten times slower; the 4 KiB path costs a quarter at most. A kernel with
    // transparent huge pages "always" still backs these aligned buffers with huge pages.
    return p;
}

void chunk_buffer_free(void* p, std::size_t size) {
    if (p != nullptr) munmap(p, size);
}
