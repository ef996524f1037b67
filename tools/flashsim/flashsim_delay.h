// tools/flashsim/flashsim_delay.h: holds the program at one chosen system call, so that a test
// can act inside a window between two of the program's steps (FLASHSIM_DELAY).
#pragma once

// The calls a delay can be put at.
enum fsim_delay_at : int {
    FSIM_DELAY_BEFORE_FORK = 0,
    FSIM_DELAY_BEFORE_UNLINK = 1,
    FSIM_DELAY_AFTER_UNLINK = 2,
};

// Counts this call of the process; when a FLASHSIM_DELAY rule names it, stalls there as a
// FLASHSIM_STALL rule does (stall line, "<root>/stall.<pid>", wait for its removal).
void fsim_delay_point(int at);
