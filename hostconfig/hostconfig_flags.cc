#include "hostconfig/hostconfig_flags.h"

#include <cstdio>

#include "platform/qz.h"
#include "platform/raii.h"

const char* upgrade_state_name(int state)
{
    switch (state) {
    case UPGRADE_STATE_VALID: return "VALID";
    case UPGRADE_STATE_TEST: return "TEST";
    case UPGRADE_STATE_BOOT: return "BOOT";
    default: return "INVALID";
    }
}

int hostconfig_flags_read(uint8_t words[2])
{
    file_ptr f(std::fopen(hostconfig_flags_device, "r"));
    if (!f)
        return -1;
    uint8_t stored[2];
    if (std::fseek(f.get(), hostconfig_flags_offset, SEEK_SET) != 0 ||
        std::fread(stored, 1, sizeof stored, f.get()) != sizeof stored)
        return -1;
    words[0] = static_cast<uint8_t>(~stored[0]);
    words[1] = static_cast<uint8_t>(~stored[1]);
    return 0;
}

int hostconfig_flags_write(const uint8_t words[2])
{
    // "w" does not erase a device: the bytes are programmed over what is there.
    file_ptr f(std::fopen(hostconfig_flags_device, "w"));
    if (!f)
        return -1;
    const uint8_t stored[2] = {static_cast<uint8_t>(~words[0]), static_cast<uint8_t>(~words[1])};
    if (std::fseek(f.get(), hostconfig_flags_offset, SEEK_SET) != 0)
        return -1;
    size_t done = std::fwrite(stored, 1, sizeof stored, f.get());
    if (std::fclose(f.release()) != 0 || done != sizeof stored)   // unflushed bytes were not written
        return -1;
    uint8_t back[2];
    return hostconfig_flags_read(back) == 0 && back[0] == words[0] && back[1] == words[1] ? 0 : -1;
}

int hostconfig_flags_after_save(int setidx, int state, uint8_t words[2])
{
    if ((setidx != 1 && setidx != 2) || state != UPGRADE_STATE_TEST)
        return -1;
    words[0] = words[1] = 0;
    words[setidx - 1] = static_cast<uint8_t>(state);
    return 0;
}

int upgrade_flags_read(int setidx)
{
    if (setidx == 0)
        return 0;
    if (setidx != 1 && setidx != 2)
        return -1;
    uint8_t words[2];
    if (hostconfig_flags_read(words) != 0)
        return -1;
    return words[setidx - 1];
}

int upgrade_flags_write(int setidx, int flags)
{
    if (setidx != 1 && setidx != 2)
        return -1;
    uint8_t words[2];
    if (hostconfig_flags_read(words) != 0)
        return -1;
    words[setidx - 1] = static_cast<uint8_t>(flags);
    return hostconfig_flags_write(words);
}

int get_upgrade_state(int setidx)
{
    int flags = upgrade_flags_read(setidx);
    if (flags < 0)
        return UPGRADE_STATE_INVALID;
    if ((flags & upgrade_flag_test) == 0)
        return UPGRADE_STATE_VALID;
    return (flags & upgrade_flag_booted) != 0 ? UPGRADE_STATE_BOOT : UPGRADE_STATE_TEST;
}

int set_upgrade_state(int setidx, int state)
{
    if (get_upgrade_state(setidx) == state)
        return 0;
    if (state != UPGRADE_STATE_VALID && state != UPGRADE_STATE_TEST) {
        qz_printf("cannot set state to %d, invalid", state);
        return -1;
    }
    // The flag word equal to the state also clears the booted bit.
    return upgrade_flags_write(setidx, state) == 0 ? 0 : -1;
}
