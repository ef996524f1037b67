// fuzz/fuzz_manifest.cc: the manifest text of a signature (its lines filling the entries, then
// every part checked against them) and the Common Name pattern match.
//
// Input: a control byte (bit 0 clear: manifest text follows; set: a pattern up to the first
// NUL, then the text it is matched against), then bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "nemf/nemf_manifest.h"
#include "nemf/nemf_validate.h"

namespace {

void fuzz_parse(std::span<const uint8_t> bytes)
{
    static nemf_manifest m;
    static bool ready = false;
    if (!ready) {
        nemf_manifest_init(&m, NEMF_MANIFEST_VERIFICATION_TIME);
        ready = true;
    }
    std::memset(m.entries, 0, sizeof m.entries);
    std::vector<char> text(bytes.begin(), bytes.end());
    int r = nemf_manifest_parse(&m, std::string_view(text.data(), text.size()));
    FUZZ_CHECK(r == NEMF_MANIFEST_OK || r == NEMF_MANIFEST_ERR_SYNTAX || r == NEMF_MANIFEST_ERR_DUPLICATE);

    // A small valid part named "p": every filled entry is compared with it.
    static uint8_t part[40];
    static const int part_size = nemf_part_write(part, 4, "p", {}, std::span<const uint8_t>(part, 0));
    for (int i = 0; i < NEMF_MAX_CONTENT_PARTS; ++i) {
        // A digest of 129 characters or more fills its field without a NUL; the comparison
        // must stay inside the field all the same.
        int v = nemf_manifest_validate_hash(&m, i, std::span<const uint8_t>(part, part_size));
        FUZZ_CHECK(v >= NEMF_MANIFEST_ERR_INVALID && v <= NEMF_MANIFEST_HASH_DIFFERS);
    }
}

void fuzz_glob(fuzz_input in)
{
    std::string pattern = in.take_text();
    std::string text = in.take_text();   // up to its first NUL, as the signer's name arrives
    int r = nemf_manifest_simple_glob_match(pattern.c_str(), text.c_str());
    FUZZ_CHECK(r == 0 || r == 1);
    // Without wildcards and escapes a pattern matches exactly itself.
    if (pattern.find_first_of("*?\\") == std::string::npos)
        FUZZ_CHECK(r == (pattern == text ? 1 : 0));
    // A pattern made from a text by escaping every character matches that text.
    std::string escaped;
    for (char c : text) {
        escaped += '\\';
        escaped += c;
    }
    FUZZ_CHECK(nemf_manifest_simple_glob_match(escaped.c_str(), text.c_str()) == 1);
    FUZZ_CHECK(nemf_manifest_simple_glob_match("*", text.c_str()) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_input in{{data, size}};
    uint8_t control = in.take_u8();
    if (in.rest.size() > 65536)
        return 0;
    if (control & 1)
        fuzz_glob({in.rest.first(std::min<size_t>(in.rest.size(), 4096))});
    else
        fuzz_parse(in.rest);
    return 0;
}
