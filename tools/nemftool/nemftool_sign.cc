#include "tools/nemftool/nemftool_sign.h"

#include <memory>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "nemf/nemf_manifest.h"
#include "platform/raii.h"

namespace {

using bio_ptr = std::unique_ptr<BIO, c_free<BIO_free>>;
using x509_ptr = std::unique_ptr<X509, c_free<X509_free>>;
using pkey_ptr = std::unique_ptr<EVP_PKEY, c_free<EVP_PKEY_free>>;
using cms_ptr = std::unique_ptr<CMS_ContentInfo, c_free<CMS_ContentInfo_free>>;

void free_x509_stack(STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); }
using x509_stack_ptr = std::unique_ptr<STACK_OF(X509), c_free<free_x509_stack>>;

std::string bio_text(BIO* b)
{
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

}  // namespace

std::string nemftool_openssl_error()
{
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    if (e == 0)
        return "unknown error";
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

int nemftool_sign(std::string_view manifest, const std::string& cert_path, const std::string& key_path,
                  uint32_t hash_type, std::string* smime, std::string* why)
{
    bio_ptr cert_in(BIO_new_file(cert_path.c_str(), "r"));
    x509_ptr cert(cert_in ? PEM_read_bio_X509(cert_in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert) {
        *why = "no PEM certificate in " + cert_path + ": " + nemftool_openssl_error();
        return -1;
    }
    bio_ptr key_in(BIO_new_file(key_path.c_str(), "r"));
    pkey_ptr key(key_in ? PEM_read_bio_PrivateKey(key_in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        *why = "no PEM private key in " + key_path + ": " + nemftool_openssl_error();
        return -1;
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        *why = "the key in " + key_path + " does not belong to the certificate in " + cert_path;
        return -1;
    }

    const EVP_MD* md = hash_type == NEMF_HASH_SHA512 ? EVP_sha512() : EVP_sha256();
    constexpr unsigned flags = CMS_BINARY | CMS_NOATTR | CMS_NOSMIMECAP;
    bio_ptr data(BIO_new_mem_buf(manifest.data(), static_cast<int>(manifest.size())));
    cms_ptr cms(data ? CMS_sign(nullptr, nullptr, nullptr, nullptr, flags | CMS_PARTIAL) : nullptr);
    if (!cms || CMS_add1_signer(cms.get(), cert.get(), key.get(), md, flags) == nullptr) {
        *why = "signing failed: " + nemftool_openssl_error();
        return -1;
    }
    // Certificates behind the signer's in its file are the chain up to the trust anchor
    // (intermediate CAs): carried in the message, so that the device can build the path.
    while (x509_ptr ca{PEM_read_bio_X509(cert_in.get(), nullptr, nullptr, nullptr)}) {
        if (CMS_add1_cert(cms.get(), ca.get()) != 1) {
            *why = "adding a certificate of " + cert_path + " failed: " + nemftool_openssl_error();
            return -1;
        }
    }
    ERR_clear_error();   // the read that ends the loop queues "no start line"
    if (CMS_final(cms.get(), data.get(), nullptr, flags) != 1) {
        *why = "signing failed: " + nemftool_openssl_error();
        return -1;
    }
    bio_ptr out(BIO_new(BIO_s_mem()));
    if (!out || SMIME_write_CMS(out.get(), cms.get(), nullptr, flags) != 1) {
        *why = "writing the S/MIME message failed: " + nemftool_openssl_error();
        return -1;
    }
    *smime = bio_text(out.get());
    return 0;
}

int nemftool_smime_peek(std::string_view smime, std::string* content, std::string* signers)
{
    BIO* detached_raw = nullptr;
    bio_ptr in(BIO_new_mem_buf(smime.data(), static_cast<int>(smime.size())));
    cms_ptr cms(in ? SMIME_read_CMS(in.get(), &detached_raw) : nullptr);
    bio_ptr detached(detached_raw);
    if (!cms) {
        ERR_clear_error();
        return -1;
    }
    content->clear();
    if (detached) {
        char chunk[4096];
        int n;
        while ((n = BIO_read(detached.get(), chunk, sizeof chunk)) > 0)
            content->append(chunk, static_cast<size_t>(n));
    } else if (ASN1_OCTET_STRING** os = CMS_get0_content(cms.get()); os != nullptr && *os != nullptr) {
        content->assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*os)),
                        static_cast<size_t>(ASN1_STRING_length(*os)));
    }

    signers->clear();
    x509_stack_ptr certs(CMS_get1_certs(cms.get()));
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, i);
        std::string subject = "(certificate not included)";
        for (int c = 0; certs && c < sk_X509_num(certs.get()); ++c) {
            X509* x = sk_X509_value(certs.get(), c);
            if (CMS_SignerInfo_cert_cmp(si, x) != 0)
                continue;
            bio_ptr b(BIO_new(BIO_s_mem()));
            if (b && X509_NAME_print_ex(b.get(), X509_get_subject_name(x), 0, XN_FLAG_ONELINE) >= 0)
                subject = bio_text(b.get());
            break;
        }
        *signers += subject + "\n";
    }
    ERR_clear_error();
    return 0;
}
