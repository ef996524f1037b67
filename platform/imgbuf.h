// platform/imgbuf.h: the one large allocation of an action, the buffer that holds a whole
// image. Zero-filled like calloc; a buffer of a huge page or more is mapped on its own,
// aligned to a huge-page boundary and offered to the kernel for huge pages, so that filling
// 16 MiB costs a handful of page faults instead of four thousand.
#pragma once

#include <cstdint>
#include <memory>

// A zero-filled buffer of `size` bytes, or null when there is no memory (or size is 0).
// Release it with imgbuf_free and the same size.
uint8_t* imgbuf_alloc(uint32_t size);
void imgbuf_free(uint8_t* buffer, uint32_t size);

struct imgbuf_deleter {
    uint32_t size = 0;
    void operator()(uint8_t* p) const { imgbuf_free(p, size); }
};
// Owns a buffer from imgbuf_alloc: imgbuf_ptr buf(imgbuf_alloc(n), imgbuf_deleter{n});
using imgbuf_ptr = std::unique_ptr<uint8_t, imgbuf_deleter>;
