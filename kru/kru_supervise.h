// kru/kru_supervise.h: the supervising parent, the worker's process group, and the
// critical-region markers.
#pragma once

// -1 until the fork, 0 in the parent, 1 in the worker; read by the signal handler, which runs
// only once the role is set.
extern volatile int kru_role;
// Nesting depth of critical regions.
extern int kru_critical_depth;

// Installs the logged signals, forks and, in the parent, waits for the worker and exits with
// the status its end maps to; never returns there. In the worker it returns 0 once the worker
// leads a process group of its own, or the worker's result (3) when that failed.
int kru_supervise();

// Open and close a critical region. Only the outermost pair is logged, to the system log only,
// at notice priority.
void kru_critical_enter(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void kru_critical_leave(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
