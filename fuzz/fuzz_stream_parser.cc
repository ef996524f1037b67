// fuzz/fuzz_stream_parser.cc: an image delivered to the stream parser as the install does it,
// in chunks of fuzzer-chosen sizes, with fuzzer-chosen skips of part bodies; then the
// manifest check and the listings of nemfinfo over whatever parts completed.
//
// Input: a control byte (bit 0: repair the CRCs first), a 4-byte seed for chunk sizes and
// skips, then the image.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "nemf/nemf_print.h"
#include "nemf/nemf_stream_parser.h"
#include "nemf/nemf_validate.h"

namespace {

// The test PKI's trust anchor, so that seeds signed with it verify all the way.
#ifdef KRU_FUZZ_PKI_DIR
constexpr const char* fuzz_trust_anchor = KRU_FUZZ_PKI_DIR "/ca.cert.pem";
#else
constexpr const char* fuzz_trust_anchor = "";
#endif

uint32_t fuzz_chunk(fuzz_rng& rng)
{
    switch (rng.next() % 4) {
    case 0: return 0;
    case 1: return 1 + rng.next() % 8;
    case 2: return 1 + rng.next() % 256;
    default: return 1 + rng.next() % 65536;
    }
}

// Feeds the image until the parser finishes, fails or runs out of bytes. What feed answered
// last.
int fuzz_deliver(nemf_stream_parser* p, uint32_t size, fuzz_rng& rng)
{
    uint32_t delivered = 0;
    int r = NEMF_SP_MORE;
    for (int round = 0; r == NEMF_SP_MORE && round < 100000; ++round) {
        if (p->part_state == NEMF_SP_PART_BODY && rng.next() % 4 == 0) {
            uint32_t next = nemf_stream_parser_skip(p);
            if (nemf_stream_parser_get_status(p) == NEMF_SP_STATUS_DONE)
                return NEMF_SP_DONE;
            if (nemf_stream_parser_get_status(p) == NEMF_SP_STATUS_FAILED)
                return NEMF_SP_ERR_PAST_END;
            if (next > size)
                return NEMF_SP_MORE;   // the file ends before the part it skipped to
            delivered = next;
        }
        uint32_t n = fuzz_chunk(rng);
        if (n > size - delivered)
            n = size - delivered;
        if (n == 0 && delivered == size)
            return r;
        delivered += n;
        r = nemf_stream_parser_feed(p, delivered);
        FUZZ_CHECK(p->received <= size);
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_input in{{data, size}};
    uint8_t control = in.take_u8();
    fuzz_rng rng{in.take_u32() | 1};
    if (in.rest.size() < NEMF_BODY_OFFSET || in.rest.size() > (1u << 20))
        return 0;
    // Exactly the image's bytes, so that any read past them is caught.
    std::vector<uint8_t> image(in.rest.begin(), in.rest.end());
    if (control & 1)
        fuzz_fix_crcs(image);

    nemf_stream_parser* p = nemf_stream_parser_init(nullptr, image.data());
    FUZZ_CHECK(p != nullptr);
    int r = fuzz_deliver(p, static_cast<uint32_t>(image.size()), rng);
    FUZZ_CHECK(r <= NEMF_SP_MORE);

    bool trusted = false;
    for (int i = 0; i < NEMF_MAX_CONTENT_PARTS; ++i) {
        std::span<const uint8_t> part = nemf_stream_parser_part(p, i);
        if (part.empty())
            continue;
        FUZZ_CHECK(part.data() >= image.data() && part.data() + part.size() <= image.data() + image.size());
        nemf_content_header h;
        nemf_copy_content_header(part, &h);
        if (h.type_id == NEMF_TYPE_CONTENT_SIGNATURE && nemf_stream_parser_content_part_is_valid(p, i) == 1) {
            // Trust material only when a signature arrived: reading it is the slow part.
            if (!trusted && fuzz_trust_anchor[0] != '\0')
                nemf_stream_parser_load_trust_anchor(p, fuzz_trust_anchor);
            trusted = true;
            nemf_stream_parser_load_manifest(p, i, (control & 2) ? "*" : "");
        }
        nemf_content_info_print(p, i);
        nemf_content_header_print(part);
        if (h.type_id == NEMF_TYPE_RELEASE_HEADER)
            nemf_release_header_print(p, i);
        if (h.type_id == NEMF_TYPE_CONTENT_SOFTWARE)
            nemf_content_software_print(p, i);
        if (h.type_id == NEMF_TYPE_CONTENT_SIGNATURE)
            nemf_content_signature_print(p, i);
        nemf_content_catalog_print(p, i);
    }
    nemf_stream_parser_check_manifest_hashes(p);
    nemf_validate_container(image, nullptr);
    nemf_stream_parser_deinit(p);
    return 0;
}
