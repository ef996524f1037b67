// fuzz/fuzz_cmdline.cc: the command line and the two environment variables into the settings.
//
// Input: a control byte (bit 0: the first word is KRU_PRODUCT, bit 1: the next is
// KRU_PLATFORM), then NUL-separated words.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "kru/kru_cmdline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_input in{{data, size}};
    uint8_t control = in.take_u8();
    if (in.rest.size() > 8192)
        return 0;
    std::vector<std::string> words;
    std::string word;
    for (uint8_t c : in.rest) {
        if (c == '\0') {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(c);
        }
    }
    words.push_back(word);

    size_t first = 0;
    unsetenv("KRU_PRODUCT");
    unsetenv("KRU_PLATFORM");
    if ((control & 1) && first < words.size())
        setenv("KRU_PRODUCT", words[first++].c_str(), 1);
    if ((control & 2) && first < words.size())
        setenv("KRU_PLATFORM", words[first++].c_str(), 1);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("kru"));
    for (size_t i = first; i < words.size() && argv.size() < 64; ++i)
        argv.push_back(words[i].data());
    argv.push_back(nullptr);

    static kru_settings s;
    int r = kru_parse_args(static_cast<int>(argv.size() - 1), argv.data(), &s);
    FUZZ_CHECK(r == kru_parse_ok || r >= 0);
    FUZZ_CHECK(s.argc >= 0 && s.argc < kru_max_args);
    FUZZ_CHECK(fuzz_terminated(s.hostcfg) && fuzz_terminated(s.hostcfg_backup) && fuzz_terminated(s.lockfile));
    FUZZ_CHECK(fuzz_terminated(s.product) && fuzz_terminated(s.platform) && fuzz_terminated(s.plugin));
    if (r == kru_parse_ok) {
        FUZZ_CHECK(s.action != nullptr && s.args[s.argc] == nullptr);
        kru_print_settings(&s);
    }
    return 0;
}
