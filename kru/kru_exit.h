// kru/kru_exit.h: the exit statuses of the tool, each named once. An action returns one of
// them (0 for success); the supervising parent adds its own for the way the worker ended.
#pragma once

#include <csignal>

enum : int {
    KRU_EXIT_FAILURE = 1,                       // the general failure of the command line or an action
    KRU_EXIT_META_INSTALL = 2,                  // install: the release metadata could not be recorded
    KRU_EXIT_NO_PROCESS_GROUP = 3,              // the worker got no process group of its own
    KRU_EXIT_SIGNAL_SETUP = 4,                  // parent: a signal disposition could not be installed
    KRU_EXIT_AUTOSET = 5,                       // install: the autoset file is there or cannot be written
    KRU_EXIT_PRODUCT = 6,                       // install: the -product check failed
    KRU_EXIT_MINVER = 7,                        // install: the -minver check failed
    KRU_EXIT_IMAGE_OPEN = 8,                    // the image file cannot be opened
    KRU_EXIT_IMAGE_BAD = 9,                     // the image is empty, too big, damaged, incomplete or badly signed
    KRU_EXIT_FATAL_ERR_HOSTCONFIG_WRITE = 10,   // install: the commit could not save the hostconfig
    KRU_EXIT_FATAL_ERR_SINGLETON_WRITE = 11,    // install: the write-out failed in a singleton pool
    KRU_EXIT_WAIT_FAILED = 12,                  // parent: could not wait for the worker
    KRU_EXIT_WORKER_LOST = 13,                  // parent: the worker ended neither by exit nor by signal
    KRU_EXIT_PARTIAL_CHECK = 14,                // install: a partition a partial image does not bring fails its check
    KRU_EXIT_ALREADY_ACTIVE = 15,               // install: the release is already active
    KRU_EXIT_TRUST_ANCHOR = 17,                 // the trust anchor cannot be loaded
    KRU_EXIT_CRL = 18,                          // a revocation list cannot be loaded
    KRU_EXIT_DELTA_SOURCE = 19,                 // install: a delta part's source is not installed or damaged
    KRU_EXIT_DELTA_FRAME = 20,                  // install: a delta part does not expand to its stated length
    KRU_EXIT_DELTA_HASH = 21,                   // install: an expanded delta part's hash is not the manifest's
    KRU_EXIT_SIGNAL_BASE = 63,                  // parent: the worker was killed by signal (status - 63)
    KRU_EXIT_PANIC = KRU_EXIT_SIGNAL_BASE + SIGABRT,   // 69: an internal assertion stopped the worker
    KRU_EXIT_OUT_OF_RANGE = 255,                // a (hook) result that does not fit an exit status
};
