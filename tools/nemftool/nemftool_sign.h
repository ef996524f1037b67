// tools/nemftool/nemftool_sign.h: the S/MIME signature over an image's manifest.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Signs `manifest` with the certificate and private key of two PEM files: a CMS signed-data
// message that embeds the manifest unchanged (binary, no line-end conversion), the signer
// certificate (the first in its file) and any further certificates of that file, with `hash_type`'s digest (NEMF_HASH_SHA256 or NEMF_HASH_SHA512) and no signed
// attributes, so there is no signing time and an RSA key gives the same bytes every time. The
// message is written as S/MIME (application/pkcs7-mime, base64) into `smime`.
// 0, or -1 with `why` set.
int nemftool_sign(std::string_view manifest, const std::string& cert_path, const std::string& key_path,
                  uint32_t hash_type, std::string* smime, std::string* why);

// The content of an S/MIME signed-data message and the subjects of the certificates it
// carries, without verifying anything (for display). 0, or -1 when the message is unreadable.
int nemftool_smime_peek(std::string_view smime, std::string* content, std::string* signers);

// The last OpenSSL error as text, or "unknown error"; empties the error queue.
std::string nemftool_openssl_error();
