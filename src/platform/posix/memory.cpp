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
#ifdef MADV_HUGEPAGE
    // Transparent huge pages are often in "madvise" mode: without the hint every chunk costs
    // 512 page faults and clears on its first load. Without huge pages it is only a hint.
    madvise(p, size, MADV_HUGEPAGE);
#endif
    return p;
}

void chunk_buffer_free(void* p, std::size_t size) {
    if (p != nullptr) munmap(p, size);
}
