// tests/nemf_test_image.h: NEMF images built in memory for the nemf tests, with the
// library's own build and finalize operations.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nemf/nemf_validate.h"

struct test_part {
    uint16_t type = 0x20;          // opaque payload unless a test says otherwise
    std::string name;
    std::vector<uint8_t> body;
    std::vector<uint8_t> ext;      // header extension (hdr_length = 32 + ext.size())
};

inline std::vector<uint8_t> make_part(const test_part& tp)
{
    std::vector<uint8_t> out(nemf_part_size(32 + tp.ext.size(), tp.body.size()));
    EXPECT_EQ(static_cast<int>(out.size()), nemf_part_write(out, tp.type, tp.name, tp.ext, tp.body));
    return out;
}

inline std::vector<uint8_t> make_part(const std::string& name, std::vector<uint8_t> body)
{
    return make_part(test_part{0x20, name, std::move(body), {}});
}

// A finalized image holding the parts in order.
inline std::vector<uint8_t> make_image(const std::vector<test_part>& parts)
{
    std::vector<uint8_t> image(NEMF_BODY_OFFSET);
    for (const test_part& tp : parts) {
        std::vector<uint8_t> p = make_part(tp);
        image.insert(image.end(), p.begin(), p.end());
    }
    uint32_t body_length = static_cast<uint32_t>(image.size() - NEMF_BODY_OFFSET);
    EXPECT_EQ(static_cast<int>(image.size()), nemf_finalize_file(image, body_length));
    return image;
}

inline std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

template <class T>
void put(std::vector<uint8_t>& v, size_t off, T value)
{
    std::memcpy(&v[off], &value, sizeof value);
}
template <class T>
T get(const std::vector<uint8_t>& v, size_t off)
{
    T value;
    std::memcpy(&value, &v[off], sizeof value);
    return value;
}
