// nemf/nemf_manifest.cc: certificate store, S/MIME verification and the manifest entries.
#include "nemf/nemf_manifest.h"

#include <cstring>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "nemf/nemf_validate.h"
#include "platform/qz.h"

namespace {

constexpr const char* nemf_manifest_module = "nemf_manifest";

using bio_ptr = std::unique_ptr<BIO, c_free<BIO_free>>;
using x509_ptr = std::unique_ptr<X509, c_free<X509_free>>;
using x509_crl_ptr = std::unique_ptr<X509_CRL, c_free<X509_CRL_free>>;
using x509_param_ptr = std::unique_ptr<X509_VERIFY_PARAM, c_free<X509_VERIFY_PARAM_free>>;
using cms_ptr = std::unique_ptr<CMS_ContentInfo, c_free<CMS_ContentInfo_free>>;
using utf8_ptr = std::unique_ptr<unsigned char, c_free<[](unsigned char* p) { OPENSSL_free(p); }>>;
struct x509_stack_free {
    void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};
using x509_stack_ptr = std::unique_ptr<STACK_OF(X509), x509_stack_free>;

// Every certificate of the chain is checked against a revocation list of its issuer.
constexpr unsigned long nemf_store_flags = X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL;
static_assert(nemf_store_flags == 12);

constexpr std::string_view nemf_whitespace = " \t\n\v\f\r";

bool nemf_is_space(char c) { return nemf_whitespace.find(c) != std::string_view::npos; }

// Appends `c` to the field while it has room; what does not fit is dropped.
template <size_t N>
struct nemf_field {
    char text[N]{};
    size_t len = 0;
    void add(char c)
    {
        if (len < N)
            text[len++] = c;
    }
    std::string_view view() const { return {text, len}; }
};

// One manifest line with its whitespace still in it (no newline).
int nemf_manifest_parse_line(nemf_manifest* m, std::string_view line)
{
    // Split the line, whitespace removed, into its first four comma-separated fields. The
    // index is read as its leading digits arrive; the other fields keep only what a stored
    // value can use (a digest is cut at 129 characters, as stored).
    unsigned index = 0;
    size_t digits = 0;
    bool index_ended = false;
    nemf_field<NEMF_NAME_SIZE> name_f;
    nemf_field<8> algo_f;  // longer than any algorithm word, so "sha2566" stays wrong
    nemf_field<NEMF_DIGEST_SIZE> digest_f;
    int fields = 1;
    bool empty = true;
    for (char c : line) {
        if (nemf_is_space(c))
            continue;
        empty = false;
        if (c == ',') {
            if (++fields > 4)
                break;  // anything after a fourth comma is ignored
            continue;
        }
        switch (fields) {
        case 1:
            if (!index_ended && c >= '0' && c <= '9') {
                if (index < NEMF_MAX_CONTENT_PARTS)  // saturate: any larger value is refused
                    index = index * 10 + static_cast<unsigned>(c - '0');
                ++digits;
            } else {
                index_ended = true;  // characters after the number are ignored
            }
            break;
        case 2: name_f.add(c); break;
        case 3: algo_f.add(c); break;
        case 4: digest_f.add(c); break;
        }
    }
    if (empty)
        return NEMF_MANIFEST_OK;
    if (digits == 0 || index >= NEMF_MAX_CONTENT_PARTS)
        return NEMF_MANIFEST_ERR_SYNTAX;
    nemf_manifest_entry& e = m->entries[index];
    if (e.digest[0] != '\0')
        return NEMF_MANIFEST_ERR_DUPLICATE;

    if (fields < 2)
        return NEMF_MANIFEST_ERR_SYNTAX;
    nemf_name_set(e.name, name_f.view());

    if (fields < 3)
        return NEMF_MANIFEST_ERR_SYNTAX;
    if (algo_f.view() == "sha256")
        e.hash_type = NEMF_HASH_SHA256;
    else if (algo_f.view() == "sha512")
        e.hash_type = NEMF_HASH_SHA512;
    else
        return NEMF_MANIFEST_ERR_SYNTAX;

    if (fields < 4)
        return NEMF_MANIFEST_ERR_SYNTAX;
    std::memset(e.digest, 0, sizeof e.digest);
    std::memcpy(e.digest, digest_f.text, digest_f.len);
    return NEMF_MANIFEST_OK;
}

// Verifies the S/MIME message in `data` against the store and tests the signer's Common
// Name. The signed content, or null with the code in *code.
bio_ptr nemf_manifest_verify(X509_STORE* store, std::span<const uint8_t> data, const char* cn_pattern, int* code)
{
    *code = NEMF_MANIFEST_ERR_IO;
    if (data.size() > INT32_MAX)
        return nullptr;
    bio_ptr in(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    if (!in)
        return nullptr;
    BIO* detached_raw = nullptr;
    cms_ptr cms(SMIME_read_CMS(in.get(), &detached_raw));
    bio_ptr detached(detached_raw);
    if (!cms)
        return nullptr;
    bio_ptr out(BIO_new(BIO_s_mem()));
    if (!out)
        return nullptr;

    // Errors queued before this call (a loader's end-of-file, say) would hide the verify
    // error that tells a revoked certificate from other failures.
    ERR_clear_error();
    if (CMS_verify(cms.get(), nullptr, store, detached.get(), out.get(), 0) != 1) {
        const char* text = nullptr;
        int flags = 0;
        ERR_get_error_all(nullptr, nullptr, nullptr, &text, &flags);
        bool revoked = (flags & ERR_TXT_STRING) && text != nullptr && std::strstr(text, "revoked") != nullptr;
        ERR_clear_error();
        *code = revoked ? NEMF_MANIFEST_ERR_REVOKED : NEMF_MANIFEST_ERR_SIGNATURE;
        return nullptr;
    }

    X509_NAME* subject = nullptr;
    x509_stack_ptr signers(CMS_get0_signers(cms.get()));
    if (signers && sk_X509_num(signers.get()) == 1)
        subject = X509_get_subject_name(sk_X509_value(signers.get(), 0));

    if (cn_pattern[0] == '\0') {
        *code = NEMF_MANIFEST_OK;
        return out;
    }
    int entries = subject ? X509_NAME_entry_count(subject) : 0;
    for (int i = 0; i < entries; ++i) {
        X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, i);
        if (OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)) != NID_commonName)
            continue;
        unsigned char* utf8_raw = nullptr;
        int len = ASN1_STRING_to_UTF8(&utf8_raw, X509_NAME_ENTRY_get_data(entry));
        utf8_ptr utf8(utf8_raw);
        if (len < 0 || !utf8)
            continue;
        // A name with an embedded NUL is matched up to it, as any C string would be.
        if (nemf_manifest_simple_glob_match(cn_pattern, reinterpret_cast<const char*>(utf8.get()))) {
            *code = NEMF_MANIFEST_OK;
            return out;
        }
    }
    *code = NEMF_MANIFEST_ERR_CN;
    return nullptr;
}

}  // namespace

void nemf_manifest_init(nemf_manifest* m, time_t verification_time)
{
    QZ_ASSERT(nemf_manifest_module, m != nullptr);
    // Every algorithm, the error texts, and no configuration file: what the library does must
    // not depend on an openssl.cnf found on the device.
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_NO_LOAD_CONFIG |
                            OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                        nullptr);
    m->store.reset(X509_STORE_new());
    std::memset(m->entries, 0, sizeof m->entries);
    QZ_ASSERT(nemf_manifest_module, m->store != nullptr);
    X509_STORE_set_flags(m->store.get(), nemf_store_flags);
    x509_param_ptr param(X509_VERIFY_PARAM_new());
    QZ_ASSERT(nemf_manifest_module, param != nullptr);
    X509_VERIFY_PARAM_set_time(param.get(), verification_time);
    X509_STORE_set1_param(m->store.get(), param.get());
}

void nemf_manifest_deinit(nemf_manifest* m)
{
    QZ_ASSERT(nemf_manifest_module, m != nullptr);
    m->store.reset();
}

int nemf_manifest_load_trust_anchor(nemf_manifest* m, const char* path)
{
    QZ_ASSERT(nemf_manifest_module, m != nullptr && path != nullptr);
    if (!m->store)
        return NEMF_MANIFEST_ERR_NOKEY;
    bio_ptr bio(BIO_new_file(path, "r"));
    if (!bio)
        return NEMF_MANIFEST_ERR_NOKEY;
    int result = NEMF_MANIFEST_ERR_NOKEY;
    while (x509_ptr cert{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)})
        result = X509_STORE_add_cert(m->store.get(), cert.get()) == 1 ? NEMF_MANIFEST_OK : NEMF_MANIFEST_ERR_NOKEY;
    ERR_clear_error();  // the read that ends the loop queues "no start line"
    return result;
}

int nemf_manifest_load_crl(nemf_manifest* m, const char* path)
{
    QZ_ASSERT(nemf_manifest_module, m != nullptr && path != nullptr);
    ERR_clear_error();  // the missing-file test below must see this call's errors only
    int result = NEMF_MANIFEST_ERR_NOKEY;
    if (m->store) {
        if (bio_ptr bio{BIO_new_file(path, "r")}) {
            while (x509_crl_ptr crl{PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr)})
                result = X509_STORE_add_crl(m->store.get(), crl.get()) == 1 ? NEMF_MANIFEST_OK
                                                                              : NEMF_MANIFEST_ERR_NOKEY;
            if (result == NEMF_MANIFEST_OK) {
                ERR_clear_error();
                return result;
            }
        }
    }
    unsigned long err = ERR_peek_last_error();
    ERR_clear_error();
    if (ERR_GET_LIB(err) == ERR_LIB_BIO && ERR_GET_REASON(err) == BIO_R_NO_SUCH_FILE)
        return NEMF_MANIFEST_ERR_NOENT;
    return result;
}

int nemf_manifest_load_manifest(nemf_manifest* m, std::span<const uint8_t> part, const char* cn_pattern)
{
    QZ_ASSERT(nemf_manifest_module, m != nullptr && part.data() != nullptr && cn_pattern != nullptr);
    nemf_content_header h;
    if (nemf_copy_content_header(part, &h) != 0 || part.size() < uint64_t{h.hdr_length} + h.body_length)
        return NEMF_MANIFEST_ERR_HDR_LENGTH;
    // The algorithm byte is tested before the length; a part too short to have it has no
    // extension at all.
    if (part.size() <= NEMF_SIGNATURE_ALG_OFFSET)
        return NEMF_MANIFEST_ERR_HDR_LENGTH;
    if (part[NEMF_SIGNATURE_ALG_OFFSET] != NEMF_SIGNATURE_ALG_SMIME)
        return NEMF_MANIFEST_ERR_ALGORITHM;
    if (h.hdr_length != NEMF_SIGNATURE_HEADER_LENGTH)
        return NEMF_MANIFEST_ERR_HDR_LENGTH;
    std::span<const uint8_t> data = part.subspan(h.hdr_length, h.body_length);
    while (!data.empty() && data.back() == 0)
        data = data.first(data.size() - 1);

    int code;
    bio_ptr content = nemf_manifest_verify(m->store.get(), data, cn_pattern, &code);
    if (!content)
        return code;
    BUF_MEM* mem = nullptr;
    BIO_get_mem_ptr(content.get(), &mem);
    if (mem == nullptr)
        return NEMF_MANIFEST_ERR_IO;
    return nemf_manifest_parse(m, std::string_view(mem->data, mem->length));
}

int nemf_manifest_parse(nemf_manifest* m, std::string_view text)
{
    QZ_ASSERT(nemf_manifest_module, m != nullptr);
    size_t nl;
    while ((nl = text.find('\n')) != std::string_view::npos) {
        int r = nemf_manifest_parse_line(m, text.substr(0, nl));
        if (r != NEMF_MANIFEST_OK)
            return r;
        text.remove_prefix(nl + 1);
    }
    return NEMF_MANIFEST_OK;  // a last piece without a newline is ignored
}

int nemf_manifest_simple_glob_match(const char* pattern, const char* text)
{
    QZ_ASSERT(nemf_manifest_module, pattern != nullptr && text != nullptr);
    const char* p = pattern;
    const char* t = text;
    const char* star_p = nullptr;  // pattern after the most recent star
    const char* star_t = nullptr;  // text where that star's run ends for now
    for (;;) {
        if (*p == '*') {
            while (*p == '*')
                ++p;
            if (*p == '\0')
                return 1;
            star_p = p;
            star_t = t;
            continue;
        }
        const char* next = p + 1;
        bool ok;
        if (*p == '\0') {
            if (*t == '\0')
                return 1;
            ok = false;
        } else if (*p == '?') {
            ok = *t != '\0';
        } else if (*p == '\\') {
            if (p[1] == '\0') {
                if (*t == '\0')
                    return 1;
                ok = false;
            } else {
                ok = *t == p[1];
                next = p + 2;
            }
        } else {
            ok = *t == *p;
        }
        if (ok) {
            p = next;
            ++t;
            continue;
        }
        if (star_p == nullptr || *t == '\0')
            return 0;
        p = star_p;
        t = ++star_t;
    }
}

int nemf_manifest_entry_present(const nemf_manifest* m, int index)
{
    QZ_ASSERT(nemf_manifest_module, m != nullptr && index >= 0 && index < NEMF_MAX_CONTENT_PARTS);
    const nemf_manifest_entry& e = m->entries[index];
    return e.digest[0] != '\0' || e.name[0] != '\0';
}

int nemf_manifest_calculate_hash(std::span<const uint8_t> part, uint32_t hash_type, std::span<char> out)
{
    if (part.data() == nullptr || out.data() == nullptr)
        return NEMF_MANIFEST_ERR_INVALID;
    std::memset(out.data(), 0, out.size());
    const EVP_MD* md = nullptr;
    if (hash_type == NEMF_HASH_SHA256 && out.size() >= 65)
        md = EVP_sha256();
    else if (hash_type == NEMF_HASH_SHA512 && out.size() >= NEMF_DIGEST_SIZE)
        md = EVP_sha512();
    if (md == nullptr)
        return NEMF_MANIFEST_ERR_INVALID;
    std::span<const uint8_t> bytes = nemf_content_part_bytes(part);
    if (bytes.empty())
        return NEMF_MANIFEST_ERR_INVALID;
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), hash, &len, md, nullptr) != 1)
        return NEMF_MANIFEST_ERR_INVALID;
    static constexpr char hex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < len; ++i) {
        out[2 * i] = hex[hash[i] >> 4];
        out[2 * i + 1] = hex[hash[i] & 0x0F];
    }
    out[2 * len] = '\0';
    return NEMF_MANIFEST_OK;
}

int nemf_manifest_validate_hash(const nemf_manifest* m, int index, std::span<const uint8_t> part)
{
    QZ_ASSERT(nemf_manifest_module, m != nullptr && index >= 0 && index < NEMF_MAX_CONTENT_PARTS);
    if (part.data() == nullptr)
        return NEMF_MANIFEST_ERR_INVALID;
    const nemf_manifest_entry& e = m->entries[index];
    if (e.digest[0] == '\0')
        return NEMF_MANIFEST_ERR_NO_ENTRY;
    nemf_content_header h;
    if (nemf_copy_content_header(part, &h) != 0)
        return NEMF_MANIFEST_ERR_INVALID;
    if (!nemf_name_equal(e.name, h.name))
        return NEMF_MANIFEST_NAME_DIFFERS;
    char computed[NEMF_DIGEST_SIZE];
    if (nemf_manifest_calculate_hash(part, e.hash_type, computed) != NEMF_MANIFEST_OK)
        return NEMF_MANIFEST_ERR_INVALID;
    if (std::strncmp(e.digest, computed, sizeof computed) != 0)
        return NEMF_MANIFEST_HASH_DIFFERS;
    return NEMF_MANIFEST_OK;
}
