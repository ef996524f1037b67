#include "kru/kru_load.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <syslog.h>

#include "nemf/nemf_stream_parser.h"
#include "platform/log.h"
#include "platform/qz.h"
#include "platform/raii.h"

uint32_t kru_load_file(const char* path, uint8_t* buffer, uint32_t size, kru_stream_cb cb, void* context)
{
    QZ_ASSERT("kru_load", path != nullptr && buffer != nullptr && cb != nullptr);
    file_ptr f(std::fopen(path, "r"));
    if (!f)
        return 0;
    uint32_t total = 0;
    // Two reads at most: a regular file arrives whole in the first; the second covers a short
    // first read (a pipe, a signal).
    for (int pass = 0; pass < 2; ++pass) {
        size_t n = std::fread(buffer + total, 1, size - total, f.get());
        if (std::ferror(f.get()))
            return 0;
        bool at_end = std::feof(f.get()) != 0;
        uint32_t accepted = cb(buffer, 1, static_cast<uint32_t>(n), context);
        total += accepted;
        if (accepted != n)
            return 0;
        if (total == size || at_end)
            break;
    }
    return total;
}

int kru_load_trust(nemf_stream_parser* p)
{
    kru_log(LOG_DEBUG, "loading trust anchor (%s)\n", kru_trust_anchor_path);
    int r = nemf_stream_parser_load_trust_anchor(p, kru_trust_anchor_path);
    if (r != 0) {
        kru_log(LOG_ERR, "load trust anchor error: %d\n", r);
        return KRU_LOAD_TRUST_ERR_ANCHOR;
    }
    // strtok_r cuts the list in place, so it works on a copy.
    size_t len = std::strlen(kru_crl_paths) + 1;
    std::unique_ptr<char, c_free<::free>> list(static_cast<char*>(std::malloc(len)));
    if (!list)
        return KRU_LOAD_TRUST_OK;
    std::memcpy(list.get(), kru_crl_paths, len);
    char* save = nullptr;
    for (char* piece = strtok_r(list.get(), ":", &save); piece != nullptr; piece = strtok_r(nullptr, ":", &save)) {
        kru_log(LOG_DEBUG, "loading crl file (%s)\n", piece);
        r = nemf_stream_parser_load_crl(p, piece);
        if (r != 0) {
            kru_log(LOG_ERR, "load crl (%s) error: %d\n", piece, r);
            return KRU_LOAD_TRUST_ERR_CRL;
        }
    }
    return KRU_LOAD_TRUST_OK;
}
