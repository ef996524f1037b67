// tests/support/target_exec.h: how a test starts a program in a cross build.
//
// A cross build's tests run under the user-mode emulator named by KRU_TEST_EMULATOR (the
// build's CMAKE_CROSSCOMPILING_EMULATOR, e.g. "/usr/bin/qemu-arm -L /"); the build machine's
// kernel cannot start the target's programs they spawn, so those are started through the same
// emulator. The preloaded device emulator library is a target library: it is handed to the
// emulated program (-E), never to the emulator itself nor to a program of the build machine
// (openssl, sha256sum, bash), which runs as it is; a script that starts target programs finds
// the emulator in its environment. In a native build nothing changes.
#pragma once

#include <cstdint>
#include <cstring>
#include <elf.h>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#ifndef KRU_TEST_EMULATOR
#define KRU_TEST_EMULATOR ""
#endif

// True in a cross build whose tests run under an emulator.
inline bool target_exec_cross() { return KRU_TEST_EMULATOR[0] != '\0'; }

// The ELF machine of the executable at `path`, or -1.
inline int target_exec_machine(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    char h[EI_NIDENT + 4] = {};
    if (!f.read(h, sizeof h) || std::memcmp(h, ELFMAG, SELFMAG) != 0)
        return -1;
    uint16_t machine;
    std::memcpy(&machine, h + EI_NIDENT + 2, sizeof machine);   // after e_type
    return machine;
}

// Rewrites `program`, `argv` (argv[0] first) and `env` (NAME=VALUE words) into what execve
// needs to start the program here.
inline void target_exec_wrap(std::string* program, std::vector<std::string>* argv, std::vector<std::string>* env)
{
    if (!target_exec_cross())
        return;
    std::string preload;
    for (auto it = env->begin(); it != env->end();) {
        if (it->starts_with("LD_PRELOAD=")) {
            preload = *it;
            it = env->erase(it);
        } else {
            ++it;
        }
    }
    // The test program itself is a target program (the emulator shows it as /proc/self/exe).
    // A script of the build machine learns the emulator from KRU_TEST_EMULATOR.
    if (target_exec_machine(*program) != target_exec_machine("/proc/self/exe")) {
        env->push_back(std::string("KRU_TEST_EMULATOR=") + KRU_TEST_EMULATOR);
        return;
    }
    std::vector<std::string> words;
    std::istringstream emulator(KRU_TEST_EMULATOR);
    for (std::string w; emulator >> w;)
        words.push_back(w);
    if (!preload.empty()) {
        words.push_back("-E");
        words.push_back(preload);
    }
    words.push_back(*program);
    words.insert(words.end(), argv->begin() + 1, argv->end());
    *program = words[0];
    *argv = std::move(words);
}

// The emulator reports a target program's death by a core-dumping signal on the program's
// standard error; the report is the emulator's, not the program's, and is left out.
inline void target_exec_drop_report(std::string* err)
{
    if (!target_exec_cross())
        return;
    constexpr std::string_view report = "qemu: uncaught target signal ";
    for (size_t at = err->find(report); at != std::string::npos; at = err->find(report, at)) {
        size_t end = err->find('\n', at);
        err->erase(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    }
}
