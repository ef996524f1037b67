#include "platform/imgbuf.h"

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

namespace {

// Transparent huge pages are 2 MiB on x86-64 and on 32-bit ARM with large physical addresses;
// elsewhere the advice below is refused and the buffer is an ordinary mapping.
constexpr uintptr_t imgbuf_huge = 2u << 20;

uintptr_t imgbuf_round_up(uintptr_t n, uintptr_t to)
{
    return (n + to - 1) & ~(to - 1);
}

// Whole huge pages: a last partial one would be filled page by page.
size_t imgbuf_mapped_length(uint32_t size)
{
    return imgbuf_round_up(size, imgbuf_huge);
}

}  // namespace

uint8_t* imgbuf_alloc(uint32_t size)
{
    if (size == 0)
        return nullptr;
    if (size < imgbuf_huge)
        return static_cast<uint8_t*>(std::calloc(size, 1));
    // One huge page more than needed, then the unaligned ends cut off: the kernel backs only
    // aligned 2 MiB ranges with huge pages. A 32-bit address space may not hold that much.
    if (uint64_t{size} + 2 * imgbuf_huge > SIZE_MAX)
        return nullptr;
    const size_t length = imgbuf_mapped_length(size);
    void* raw = mmap(nullptr, length + imgbuf_huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const uintptr_t first = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t start = imgbuf_round_up(first, imgbuf_huge);
    const uintptr_t end = start + length;
    const uintptr_t last = first + length + imgbuf_huge;
    if (start > first)
        munmap(raw, start - first);
    if (last > end)
        munmap(reinterpret_cast<void*>(end), last - end);
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);   // a hint; refusal is fine
#endif
    return reinterpret_cast<uint8_t*>(start);
}

void imgbuf_free(uint8_t* buffer, uint32_t size)
{
    if (buffer == nullptr)
        return;
    if (size < imgbuf_huge)
        std::free(buffer);
    else
        munmap(buffer, imgbuf_mapped_length(size));
}
