// The manifest: glob test, text parser, hashes, trust material and signed manifests
// (signed here with the committed test PKI).
#include <tuple>

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/pem.h>

#include "nemf/nemf_manifest.h"
#include "nemf/nemf_stream_parser.h"
#include "tests/nemf_test_image.h"

namespace {

constexpr const char* install_pattern = "Dravik SATCOM VSAT Terminal *";
const std::string ff64(64, 'f');

std::string pki(const std::string& name) { return std::string(KRU_TEST_PKI_DIR) + "/" + name; }

TEST(NemfGlob, Table)
{
    const struct {
        const char *pattern, *text;
        int want;
    } cases[] = {
        {install_pattern, "Dravik SATCOM VSAT Terminal 0001", 1}, {install_pattern, "Dravik SATCOM VSAT Terminal ", 1},
        {install_pattern, "Dravik SATCOM VSAT Terminal", 0},      {install_pattern, "dravik SATCOM VSAT Terminal 1", 0},
        {"a\\*", "a*", 1},   {"a\\*", "ab", 0},  {"a\\*", "a", 0},    {"a\\?b", "a?b", 1},  {"a\\\\", "a\\", 1},
        {"ab\\", "ab", 1},   {"ab\\", "abc", 0}, {"*\\", "abc", 1},   {"a**b", "ab", 1},    {"a***", "a", 1},
        {"**", "", 1},       {"", "", 1},        {"", "x", 0},        {"x", "", 0},         {"?", "", 0},
        {"??", "a", 0},      {"a?c", "abc", 1},  {"*a", "bab", 0},    {"*ab", "aaab", 1},   {"*a*b?", "xxaybz", 1},
        {"*a*b?", "xxayb", 0}, {"ABC", "abc", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.want, nemf_manifest_simple_glob_match(c.pattern, c.text)) << c.pattern << " vs " << c.text;
}

struct NemfManifestTest : testing::Test {
    nemf_manifest m_;
    void SetUp() override { nemf_manifest_init(&m_, NEMF_MANIFEST_VERIFICATION_TIME); }
    const nemf_manifest_entry& e(int i) const { return m_.entries[i]; }
};

TEST_F(NemfManifestTest, LinesAndWhitespace)
{
    ASSERT_EQ(0, nemf_manifest_parse(&m_, " 2 ,\tker nel, sha256 ,\r" + ff64.substr(0, 30) + " " + ff64.substr(30) +
                                              " \n\n \t\r\n"
                                              "05x,a-name-longer-than-16,sha512," + ff64 + ff64 + "x,after,4th comma\n"
                                              "8,last,sha256,11"));  // no newline: ignored
    EXPECT_EQ("kernel", nemf_name(e(2).name));
    EXPECT_EQ(NEMF_HASH_SHA256, e(2).hash_type);
    EXPECT_EQ(ff64, e(2).digest);
    EXPECT_EQ("a-name-longer-th", nemf_name(e(5).name));
    EXPECT_EQ(NEMF_HASH_SHA512, e(5).hash_type);
    EXPECT_EQ(0, std::memcmp(e(5).digest, (ff64 + ff64 + "x").data(), NEMF_DIGEST_SIZE));  // cut, no NUL
    EXPECT_EQ(0, nemf_manifest_entry_present(&m_, 8));
}

TEST_F(NemfManifestTest, BadLinesStopTheParse)
{
    const struct {
        const char* line;
        int want;
        bool name_stored;  // fields before the failing one stay
    } cases[] = {
        {"20,a,sha256,00\n", NEMF_MANIFEST_ERR_SYNTAX, false},
        {"99999999999999999999999,a,sha256,00\n", NEMF_MANIFEST_ERR_SYNTAX, false},
        {"x1,a,sha256,00\n", NEMF_MANIFEST_ERR_SYNTAX, false},
        {"1,a,md5,00\n", NEMF_MANIFEST_ERR_SYNTAX, true},
        {"1,a,sha256\n", NEMF_MANIFEST_ERR_SYNTAX, true},
        {"1\n", NEMF_MANIFEST_ERR_SYNTAX, false},
        {"0,b,sha256,cd\n", NEMF_MANIFEST_ERR_DUPLICATE, false},
        {"0\n", NEMF_MANIFEST_ERR_DUPLICATE, false},  // the filled index is refused before the field count
        {"1,a,sha256,\n", NEMF_MANIFEST_OK, true},    // four fields, no digest: present, not filled
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        nemf_manifest_init(&m_, NEMF_MANIFEST_VERIFICATION_TIME);
        EXPECT_EQ(c.want, nemf_manifest_parse(&m_, std::string("0,first,sha256,ab\n") + c.line + "3,x,sha256,ab\n"));
        EXPECT_STREQ("ab", e(0).digest);
        EXPECT_EQ(c.name_stored, nemf_manifest_entry_present(&m_, 1) == 1);
        EXPECT_EQ(c.want == 0, nemf_manifest_entry_present(&m_, 3) == 1);
    }
}

TEST_F(NemfManifestTest, HashesOfParts)
{
    std::vector<uint8_t> part = make_part("a", {1, 2, 3, 4, 5});
    char out[NEMF_DIGEST_SIZE];
    part[37] ^= 0xFF;  // padding: not hashed
    ASSERT_EQ(0, nemf_manifest_calculate_hash(part, NEMF_HASH_SHA256, std::span(out, 65)));
    EXPECT_STREQ("2a1e92cf14b245c22ddef71dfc1dcb389990e9eb9e2d40e61b635321dcf9949e", out);  // computed elsewhere
    const std::tuple<size_t, uint32_t, size_t> refused[] = {{37, 1, 64}, {37, 2, 128}, {37, 3, 129}, {36, 1, 129}};
    for (auto [bytes, type, size] : refused)
        EXPECT_EQ(NEMF_MANIFEST_ERR_INVALID, nemf_manifest_calculate_hash(std::span(part).first(bytes), type,
                                                                          std::span(out, size)));

    ASSERT_EQ(0, nemf_manifest_calculate_hash(part, NEMF_HASH_SHA512, out));
    EXPECT_EQ(NEMF_MANIFEST_ERR_NO_ENTRY, nemf_manifest_validate_hash(&m_, 1, part));
    ASSERT_EQ(0, nemf_manifest_parse(&m_, std::string("1,a,sha512,") + out + "\n2,a,sha512,00\n3,b,sha512," + out + "\n"));
    EXPECT_EQ(NEMF_MANIFEST_OK, nemf_manifest_validate_hash(&m_, 1, part));
    EXPECT_EQ(NEMF_MANIFEST_HASH_DIFFERS, nemf_manifest_validate_hash(&m_, 2, part));
    EXPECT_EQ(NEMF_MANIFEST_NAME_DIFFERS, nemf_manifest_validate_hash(&m_, 3, part));
    EXPECT_EQ(NEMF_MANIFEST_ERR_INVALID, nemf_manifest_validate_hash(&m_, 1, {}));
    part[32] ^= 1;
    EXPECT_EQ(NEMF_MANIFEST_HASH_DIFFERS, nemf_manifest_validate_hash(&m_, 1, part));
}

// Digests that differ from the computed one only at their end: a compare that stops one
// character early, or at the end of the shorter text, lets one of them through.
TEST_F(NemfManifestTest, DigestsDifferingOnlyAtTheEnd)
{
    const struct {
        const char* what;
        void (*edit)(std::string&);
        int want;
    } edits[] = {
        {"exact", [](std::string&) {}, NEMF_MANIFEST_OK},
        {"last digit", [](std::string& d) { d.back() = d.back() == '0' ? '1' : '0'; }, NEMF_MANIFEST_HASH_DIFFERS},
        {"second-to-last digit", [](std::string& d) { char& c = d[d.size() - 2]; c = c == '0' ? '1' : '0'; },
         NEMF_MANIFEST_HASH_DIFFERS},
        {"one digit short", [](std::string& d) { d.pop_back(); }, NEMF_MANIFEST_HASH_DIFFERS},
        {"one digit more", [](std::string& d) { d += '0'; }, NEMF_MANIFEST_HASH_DIFFERS},
    };
    const std::vector<uint8_t> part = make_part("a", {1, 2, 3, 4, 5});
    const std::pair<uint32_t, const char*> hashes[] = {{NEMF_HASH_SHA256, "sha256"}, {NEMF_HASH_SHA512, "sha512"}};
    std::string text;
    int index = 0;
    for (auto [type, name] : hashes) {
        char out[NEMF_DIGEST_SIZE];
        ASSERT_EQ(0, nemf_manifest_calculate_hash(part, type, out));
        for (const auto& c : edits) {
            std::string digest = out;
            c.edit(digest);
            text += std::to_string(index++) + ",a," + name + "," + digest + "\n";
        }
    }
    ASSERT_EQ(0, nemf_manifest_parse(&m_, text));
    index = 0;
    for (auto [type, name] : hashes)
        for (const auto& c : edits)
            EXPECT_EQ(c.want, nemf_manifest_validate_hash(&m_, index++, part)) << name << ", " << c.what;
}

// ---- signed manifests ----

using bio_ptr = std::unique_ptr<BIO, c_free<BIO_free>>;

// The S/MIME text of `content` signed with SHA-256 by each named signer of the PKI.
std::string smime_sign(const std::string& content, const std::vector<std::string>& signers, bool detached = false)
{
    int flags = CMS_PARTIAL | (detached ? CMS_DETACHED : 0);
    std::unique_ptr<CMS_ContentInfo, c_free<CMS_ContentInfo_free>> cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    for (const std::string& s : signers) {
        bio_ptr cf(BIO_new_file(pki(s + ".cert.pem").c_str(), "r")), kf(BIO_new_file(pki(s + ".key.pem").c_str(), "r"));
        std::unique_ptr<X509, c_free<X509_free>> cert(PEM_read_bio_X509(cf.get(), nullptr, nullptr, nullptr));
        std::unique_ptr<EVP_PKEY, c_free<EVP_PKEY_free>> key(PEM_read_bio_PrivateKey(kf.get(), nullptr, nullptr, nullptr));
        EXPECT_NE(nullptr, CMS_add1_signer(cms.get(), cert.get(), key.get(), EVP_sha256(), 0)) << s;
    }
    bio_ptr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    bio_ptr again(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    bio_ptr out(BIO_new(BIO_s_mem()));
    EXPECT_EQ(1, CMS_final(cms.get(), in.get(), nullptr, flags));
    // The signature is final: the detached content is only written out, not signed again.
    EXPECT_EQ(1, SMIME_write_CMS(out.get(), cms.get(), again.get(), flags | CMS_REUSE_DIGEST));
    char* data = nullptr;
    long len = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<size_t>(len));
}

std::vector<uint8_t> signature_part(const std::string& smime, uint8_t alg = 1, size_t hdr_length = 36)
{
    std::vector<uint8_t> ext(hdr_length - 32), body = bytes_of(smime);
    if (ext.empty())
        body.insert(body.begin(), alg);  // byte 32 of the part all the same
    else
        ext[0] = alg;
    return make_part({NEMF_TYPE_CONTENT_SIGNATURE, "signature", body, ext});
}

struct NemfSignedTest : NemfManifestTest {
    const std::string text_ = "0,kernel,sha256," + ff64 + "\n";
    int load(const std::vector<uint8_t>& part, const char* pattern = install_pattern,
             const char* crl = "ca.crl.pem")
    {
        nemf_manifest_init(&m_, NEMF_MANIFEST_VERIFICATION_TIME);
        EXPECT_EQ(0, nemf_manifest_load_trust_anchor(&m_, pki("ca.cert.pem").c_str()));
        if (*crl) {
            EXPECT_EQ(0, nemf_manifest_load_crl(&m_, pki(crl).c_str()));
        }
        return nemf_manifest_load_manifest(&m_, part, pattern);
    }
};

TEST_F(NemfSignedTest, SignersPatternsAndRevocation)
{
    const struct {
        const char* what;
        std::vector<std::string> signers;
        const char *pattern, *crl;
        bool detached;
        int want;
    } cases[] = {
        {"good signer", {"signer"}, install_pattern, "ca.crl.pem", false, 0},
        {"good signer, detached", {"signer"}, install_pattern, "ca.crl.pem", true, 0},
        {"wrong case", {"signer-lowercase"}, install_pattern, "ca.crl.pem", false, NEMF_MANIFEST_ERR_CN},
        {"wrong case, no pattern", {"signer-lowercase"}, "", "ca.crl.pem", false, 0},
        {"no Common Name", {"signer-nocn"}, "*", "ca.crl.pem", false, NEMF_MANIFEST_ERR_CN},
        {"two signers", {"signer", "signer-lowercase"}, "*", "ca.crl.pem", false, NEMF_MANIFEST_ERR_CN},
        {"revoked", {"signer-revoked"}, install_pattern, "ca.crl.pem", false, NEMF_MANIFEST_ERR_REVOKED},
        {"expired", {"signer-expired"}, install_pattern, "ca.crl.pem", false, NEMF_MANIFEST_ERR_SIGNATURE},
        {"valid only after the fixed time", {"signer-notyet"}, install_pattern, "ca.crl.pem", false,
         NEMF_MANIFEST_ERR_SIGNATURE},
        {"untrusted issuer", {"signer-foreign"}, install_pattern, "ca.crl.pem", false, NEMF_MANIFEST_ERR_SIGNATURE},
        {"no revocation list", {"signer"}, install_pattern, "", false, NEMF_MANIFEST_ERR_SIGNATURE},
        {"expired revocation list", {"signer"}, install_pattern, "ca-expired.crl.pem", false,
         NEMF_MANIFEST_ERR_SIGNATURE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.want, load(signature_part(smime_sign(text_, c.signers, c.detached)), c.pattern, c.crl));
        EXPECT_EQ(c.want == 0 ? 1 : 0, nemf_manifest_entry_present(&m_, 0));
    }
}

TEST_F(NemfSignedTest, MessageAndPartDamage)
{
    std::string good = smime_sign(text_, {"signer"}, true);
    EXPECT_EQ(0, load(signature_part(good + std::string(7, '\0'))));  // zero tail is not the message
    std::string tampered = good;
    tampered[tampered.find("kernel")] = 'K';
    EXPECT_EQ(NEMF_MANIFEST_ERR_SIGNATURE, load(signature_part(tampered)));
    EXPECT_EQ(NEMF_MANIFEST_ERR_IO, load(signature_part("not an S/MIME message\n")));
    EXPECT_EQ(NEMF_MANIFEST_ERR_ALGORITHM, load(signature_part(good, 2)));
    EXPECT_EQ(NEMF_MANIFEST_ERR_HDR_LENGTH, load(signature_part(good, 1, 32)));
    EXPECT_EQ(NEMF_MANIFEST_ERR_ALGORITHM, load(signature_part(good, 0, 32)));  // byte 32 before the length
    EXPECT_EQ(NEMF_MANIFEST_ERR_HDR_LENGTH, load(signature_part(good, 1, 40)));
    EXPECT_EQ(NEMF_MANIFEST_ERR_SYNTAX, load(signature_part(smime_sign("1,a,md5,00\n", {"signer"}))));
}

// The whole road through the parser: parts, a signature over their hashes, the comparison;
// a second manifest naming the same index is refused.
TEST(NemfSignedImage, ParserLoadsAndChecks)
{
    std::vector<test_part> parts = {{NEMF_TYPE_RELEASE_HEADER, "release", std::vector<uint8_t>(44, 1), {}},
                                    {0x20, "rootfs", {1, 2, 3, 4, 5}, {}}};
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        char hex[NEMF_DIGEST_SIZE];
        ASSERT_EQ(0, nemf_manifest_calculate_hash(make_part(parts[i]), NEMF_HASH_SHA256, hex));
        text += std::to_string(i) + ", " + parts[i].name + ", sha256, " + hex + "\n";
    }
    for (int i = 0; i < 2; ++i)
        parts.push_back({NEMF_TYPE_CONTENT_SIGNATURE, "signature", bytes_of(smime_sign(text, {"signer"}, true)), {1, 0, 0, 0}});
    std::vector<uint8_t> img = make_image(parts);

    nemf_stream_parser* sp = nemf_stream_parser_init(nullptr, img.data());
    ASSERT_NE(nullptr, sp);
    ASSERT_EQ(0, nemf_stream_parser_load_trust_anchor(sp, pki("ca.cert.pem").c_str()));
    ASSERT_EQ(0, nemf_stream_parser_load_crl(sp, pki("ca.crl.pem").c_str()));
    ASSERT_EQ(NEMF_SP_DONE, nemf_stream_parser_feed(sp, static_cast<uint32_t>(img.size())));
    EXPECT_EQ(NEMF_MANIFEST_ERR_NO_ENTRY, nemf_stream_parser_check_manifest_hashes(sp));
    EXPECT_EQ(NEMF_MANIFEST_ERR_CN, nemf_stream_parser_load_manifest(sp, 2, "nobody"));
    EXPECT_EQ(1, sp->info[2].covered_by_signature);  // a failed load: covered, not validated
    EXPECT_EQ(0, sp->info[2].validated_by_signature);
    ASSERT_EQ(0, nemf_stream_parser_load_manifest(sp, 2, install_pattern));
    EXPECT_EQ(NEMF_MANIFEST_ERR_DUPLICATE, nemf_stream_parser_load_manifest(sp, 3, install_pattern));
    EXPECT_EQ(0, nemf_stream_parser_check_manifest_hashes(sp));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(1, sp->info[i].validated_by_signature) << i;
    nemf_stream_parser_deinit(sp);
}

}  // namespace
