// fuzz/fuzz_krum.cc: the release metadata text ("krum") into an element array of
// fuzzer-chosen capacity, and the "products=" search of a release header part.
//
// Input: a control byte (bit 7 clear: krum text follows, bits 0..4 give the capacity; bit 7
// set: a model name up to the first NUL, then the release header part), then bytes.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "krul/krul_meta.h"

namespace {

void fuzz_krumd(size_t capacity, std::span<const uint8_t> bytes)
{
    // Exactly the text's bytes and exactly `capacity` elements, so overruns of either show.
    std::vector<char> text(bytes.begin(), bytes.end());
    // new[] gives a real address also for no elements, and any access past them shows.
    std::unique_ptr<krum_element[]> storage(new krum_element[capacity]);
    std::span<krum_element> elements(storage.get(), capacity);
    int n = krul_parse_krumd(elements, std::string_view(text.data(), text.size()));
    FUZZ_CHECK(n >= -1 && n <= static_cast<int>(capacity));
    int filled = n < 0 ? static_cast<int>(capacity) : n;
    for (int i = 0; i < static_cast<int>(capacity); ++i) {
        const krum_element& e = elements[i];
        if (i >= filled) {
            FUZZ_CHECK(n < 0 || e.used == 0);
            continue;
        }
        if (!e.used)
            continue;   // a full array that a further line overflowed keeps what it read
        FUZZ_CHECK(fuzz_terminated(e.poolname) && fuzz_terminated(e.mountpnt));
        FUZZ_CHECK(fuzz_terminated(e.fstype) && fuzz_terminated(e.platform));
        FUZZ_CHECK(e.meta_valid <= KRUM_META_FROM_PART);
    }
}

void fuzz_match_model(fuzz_input in)
{
    std::string model = in.take_text();
    std::vector<uint8_t> part(in.rest.begin(), in.rest.end());
    int r = krul_match_model(part, model.c_str());
    FUZZ_CHECK(r == 0 || r == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_input in{{data, size}};
    uint8_t control = in.take_u8();
    if (in.rest.size() > 65536)
        return 0;
    if (control & 0x80)
        fuzz_match_model(in);
    else
        fuzz_krumd(control & 0x1f, in.rest);
    return 0;
}
