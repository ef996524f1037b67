// tests/meta_test_support.h: a record kept in a sandbox file, the probe that works on it under
// the device emulator, and partitions holding content in a given write layout.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "krul/krul_check.h"
#include "tests/nemf_test_image.h"
#include "tests/support/kru_run.h"

struct meta_device {
    sandbox sb;
    krul_data rec{};

    // Runs the probe on `rec` and reads `rec` back (the rebuild steps change it).
    run_result probe(std::vector<std::string> args, const std::vector<std::string>& env = {})
    {
        std::string path = sb.path("rec.bin");
        write_file(path, std::string_view(reinterpret_cast<const char*>(&rec), sizeof rec));
        args.insert(args.begin() + 1, path);
        run_result r = run(sb, META_PROBE, args, env);
        std::memcpy(&rec, read_file(path).data(), sizeof rec);
        return r;
    }
    static int result(const run_result& r)
    {
        size_t at = r.out.rfind("result ");
        return at == std::string::npos ? -1000 : std::atoi(r.out.c_str() + at + 7);
    }
    int probe_result(std::vector<std::string> args, const std::vector<std::string>& env = {})
    {
        return result(probe(std::move(args), env));
    }
    void device(int pn, uint32_t size, const std::string& data)
    {
        sb.make_mtd(pn, size);
        std::string path = sb.path("dev/mtd" + std::to_string(pn));
        write_file(path, data + read_file(path).substr(std::min<size_t>(data.size(), size)));
    }
    // Content `part` laid out as `wts` in a new /dev/mtd<pn>, recorded as partition `idx`.
    void install(int idx, int pn, const char* pool, const std::vector<uint8_t>& part, int wts)
    {
        std::string hdr(part.begin(), part.begin() + 32), body(part.begin() + 32, part.end());
        device(pn, 65536, wts == KRUM_WTS_HEADER_BODY ? hdr + body : wts == KRUM_WTS_BODY_TRAILER ? body + hdr : body);
        std::snprintf(rec.partinfo[idx].poolname, sizeof rec.partinfo[idx].poolname, "%s", pool);
        rec.partinfo[idx].pn = static_cast<uint8_t>(pn);
        std::memcpy(&rec.pinfometa[idx], part.data(), std::min(part.size(), sizeof rec.pinfometa[idx]));
    }
};

// A content software part (no padding) whose body of `length` bytes starts with the version.
inline std::vector<uint8_t> software_part(const char* name, krul_version v, size_t length)
{
    std::vector<uint8_t> body(length);
    for (size_t i = 0; i < length; ++i)
        body[i] = static_cast<uint8_t>(i * 7 + 3);
    std::memcpy(body.data(), &v, std::min(length, sizeof v));
    std::vector<uint8_t> part = make_part(test_part{NEMF_TYPE_CONTENT_SOFTWARE, name, body, {}});
    part.resize(32 + length);
    return part;
}
