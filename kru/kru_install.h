// kru/kru_install.h: the install action: a signed image streamed into memory, checked part by
// part, decided against the record (which partitions already hold its payloads and which
// receive them), then written out, read back and committed to the hostconfig.
#pragma once

#include <cstdint>
#include <span>

#include "hostconfig/hostconfig.h"
#include "kru/kru_exit.h"
#include "kru/kru_settings.h"
#include "krul/krul.h"
#include "krul/krul_meta.h"

struct nemf_stream_parser;

enum : int32_t {                    // kru_install_ctx::stage
    KRU_INSTALL_STAGE_HEADER = 1,   // waiting for the 24-byte file header
    KRU_INSTALL_STAGE_PARTS = 2,    // parsing content parts
    KRU_INSTALL_STAGE_FAILED = 17,  // final: the callback refuses every further chunk
};

// The install context: zeroed at the start of the action, handed to the stream callback and,
// as first argument, to every install hook. Pointers point into objects the action owns for
// its whole run (the image buffer, the parser, the record, the settings).
struct kru_install_ctx {
    int32_t stage;                    // KRU_INSTALL_STAGE_*
    uint32_t bytes_received;          // bytes delivered to the callback so far
    nemf_stream_parser* parser;
    int32_t parts_seen;               // found content parts the callback has examined
    uint8_t* image;                   // the image buffer, image_size bytes
    uint32_t image_size;
    krum_element elements[krum_max_elements];
    int32_t element_count;            // result of krul_parse_krumd
    krul_data* record;
    uint8_t setidx;                   // the set being installed
    const uint8_t* rh_body;           // body of the release header part, once it was seen
    const uint8_t* file_header;       // the NEMF file header inside the image (image + 8)
    kru_settings* settings;
    int32_t element_cursor;           // next krum element whose content part is awaited
};

// "install IMAGE SETIDX": the exit code of the action (0 installed or dry run completed).
int kru_action_install(kru_settings* s);

// The stream callback handed to kru_load_file: advances the parser over each chunk and acts
// on every content part as it completes. element_size * count to go on, one more to stop
// (stage is then KRU_INSTALL_STAGE_FAILED and the reason has been logged).
uint32_t kru_install_stream_cb(const uint8_t* data, uint32_t element_size, uint32_t count, void* context);

// The bytes (header and body) of content part `cidx` of the image, when the image holds it
// complete; empty for -1, any other index outside 0..19, or a part that is absent.
std::span<const uint8_t> kru_install_part(const kru_install_ctx* ctx, int cidx);
