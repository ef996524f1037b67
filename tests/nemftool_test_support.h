// tests/nemftool_test_support.h: running nemftool, and reading the images it writes without
// the container library: offsets by hand, CRCs by zlib, so the two can disagree.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/support/kru_run.h"

inline std::string nemftool_bin() { return NEMFTOOL_TEST_BIN; }
inline std::string pki(const std::string& name) { return std::string(KRU_TEST_PKI_DIR) + "/" + name; }

inline run_result nemftool(const sandbox& sb, const std::vector<std::string>& args,
                           const std::vector<std::string>& env = {})
{
    return run(sb, nemftool_bin(), args, env);
}

inline uint32_t le32(const std::string& b, size_t off)
{
    uint32_t v = 0;
    std::memcpy(&v, b.data() + off, 4);
    return v;
}
inline uint16_t le16(const std::string& b, size_t off)
{
    uint16_t v = 0;
    std::memcpy(&v, b.data() + off, 2);
    return v;
}
inline void put32(std::string* b, size_t off, uint32_t v) { std::memcpy(b->data() + off, &v, 4); }

inline uint32_t zcrc(const std::string& b, size_t off, size_t len)
{
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(b.data() + off), static_cast<uInt>(len)));
}

struct image_part {
    size_t offset = 0;   // file offset of the content header
    uint16_t type = 0;
    uint16_t hdr_length = 0;
    uint32_t body_length = 0;
    std::string name;
    size_t body() const { return offset + hdr_length; }
    size_t padded() const { return (body_length + 3u) & ~size_t{3}; }
    std::string bytes(const std::string& image) const { return image.substr(offset, hdr_length + body_length); }
};

// The parts of an image with a 16-byte file header, walked by their lengths; stops at
// anything that does not fit.
inline std::vector<image_part> image_parts(const std::string& image)
{
    std::vector<image_part> parts;
    size_t off = 24;
    while (off + 32 <= image.size()) {
        image_part p;
        p.offset = off;
        p.type = le16(image, off + 4);
        p.hdr_length = le16(image, off + 6);
        p.body_length = le32(image, off + 8);
        p.name = std::string(image.data() + off + 12, strnlen(image.data() + off + 12, 16));
        if (p.hdr_length < 32 || p.body() + p.padded() > image.size())
            break;
        parts.push_back(p);
        off = p.body() + p.padded();
    }
    return parts;
}

// Recomputes every CRC after a test changed bytes: each part's body_crc then hdr_crc, then the
// file's body_crc then hdr_crc.
inline void reseal(std::string* image)
{
    for (const image_part& p : image_parts(*image)) {
        put32(image, p.offset + 28, zcrc(*image, p.body(), p.body_length));
        put32(image, p.offset, zcrc(*image, p.offset + 4, p.hdr_length - 4));
    }
    put32(image, 20, zcrc(*image, 24, le32(*image, 16)));
    put32(image, 8, zcrc(*image, 12, 12));
}
