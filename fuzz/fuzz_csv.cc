// fuzz/fuzz_csv.cc: the column list of -pif= split by krul_parse_csv into a field table of
// fuzzer-chosen size.
//
// Input: a control byte (the table size, 0..31), then the list text (up to its first NUL).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "krul/krul_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_input in{{data, size}};
    int max = in.take_u8() & 0x1f;
    std::string text(in.rest.begin(), in.rest.end());
    text = text.c_str();
    std::vector<char> buf(krul_csv_buf_size);
    std::vector<char*> fields(max > 0 ? max : 1);
    fields[0] = buf.data();
    int n = krul_parse_csv(text.c_str(), fields.data(), max);
    if (text.empty()) {
        FUZZ_CHECK(n == 0);
        return 0;
    }
    if (max <= 1 || text.size() > krul_csv_buf_size - 1) {
        FUZZ_CHECK(n == -1);
        return 0;
    }
    FUZZ_CHECK(n >= -1 && n < max);
    if (n < 0)
        return 0;
    // The fields, joined by commas again, give back the text.
    std::string joined;
    for (int i = 1; i <= n; ++i) {
        FUZZ_CHECK(fields[i] >= buf.data() && fields[i] < buf.data() + buf.size());
        size_t room = buf.data() + buf.size() - fields[i];
        FUZZ_CHECK(std::memchr(fields[i], '\0', room) != nullptr);
        if (i > 1)
            joined += ',';
        joined += fields[i];
    }
    FUZZ_CHECK(joined == text);
    return 0;
}
