// tools/nemftool/nemftool_report.h: the info and verify commands. Both print their report on
// standard output and problems on standard error; the result is the exit status.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

enum : int {                   // exit statuses of nemftool
    NEMFTOOL_OK = 0,
    NEMFTOOL_FAILED = 1,       // bad input, damaged image, failed verification
    NEMFTOOL_USAGE = 2,        // the command line itself is wrong
};

// Shows the file header and every content part of the image with the state of its CRCs,
// the fields of release headers and software parts, metadata text and signed manifests
// (unverified). NEMFTOOL_OK when every CRC is good, else NEMFTOOL_FAILED.
int nemftool_info(const std::string& path);

struct nemftool_verify_opts {
    std::string image;
    std::string ca;                  // PEM trust anchor(s)
    std::vector<std::string> crls;   // PEM revocation lists
    std::string cn_pattern;          // signer Common Name pattern; empty: no test
    time_t attime = 0;               // verification time
};

// Verifies the image as the device does and more strictly: the file header and body CRCs,
// every part's CRCs, every content signature against the trust material, and every part's
// hash against the signed manifests. An unsigned image fails. NEMFTOOL_OK or NEMFTOOL_FAILED.
int nemftool_verify(const nemftool_verify_opts& o);
