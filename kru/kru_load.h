// kru/kru_load.h: what the tool does with an image file before anything reaches flash:
// reading it through a stream callback, and loading the trust material that its signature
// is verified against.
#pragma once

#include <cstdint>

#include "kru/kru_exit.h"

struct nemf_stream_parser;

// Trust anchor (PEM certificates) and revocation lists (a ':'-separated list of PEM files).
inline constexpr const char* kru_trust_anchor_path = "/mnt/misc/pki/tls/certs/ca.cert.pem";
inline constexpr const char* kru_crl_paths = "/mnt/misc/pki/tls/certs/crl.cert.pem";

enum : int {                                       // results of kru_load_trust, passed on as exit statuses
    KRU_LOAD_TRUST_OK = 0,
    KRU_LOAD_TRUST_ERR_ANCHOR = KRU_EXIT_TRUST_ANCHOR, // the trust anchor could not be loaded
    KRU_LOAD_TRUST_ERR_CRL = KRU_EXIT_CRL,             // a revocation list could not be loaded
};

// Called with the start of the image buffer as `data` (the parser over the same buffer knows
// how far it has read), `element_size` 1 and the number of bytes just read as `count`. Returns
// the number of bytes it accepted; anything but `element_size` * `count` is a refusal.
using kru_stream_cb = uint32_t (*)(const uint8_t* data, uint32_t element_size, uint32_t count, void* context);

// Reads the file at `path` into `buffer` (room for `size` bytes), file offset k at buffer + k,
// and hands each read to `cb`: first a read of up to `size` bytes, then, unless that filled the
// buffer or reached the end of the file, one more read for the rest of the buffer. The number
// of bytes the callback accepted; 0 when the file cannot be opened or read, or when the
// callback refused a chunk.
uint32_t kru_load_file(const char* path, uint8_t* buffer, uint32_t size, kru_stream_cb cb, void* context);

// Loads the trust anchor, then every revocation list in order, into the parser's manifest,
// logging each step. KRU_LOAD_TRUST_OK, or _ERR_ANCHOR / _ERR_CRL after the error message;
// the lists after a failing one are not loaded.
int kru_load_trust(nemf_stream_parser* p);
