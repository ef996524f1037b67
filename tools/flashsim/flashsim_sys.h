// tools/flashsim/flashsim_sys.h: the system log and mount(2) as the sandbox sees them.
// The system log goes to "<root>/syslog", one "<priority> <ident>: <message>" line per
// message; mounts are recorded in "<root>/mount.log" and fail as "<root>/mount.fail" says.
#pragma once

#include <cstdarg>

// openlog: keeps a copy of the identity (nullptr: none, written "-").
void fsim_syslog_open(const char* ident);
// closelog: forgets the identity, as the C library does.
void fsim_syslog_close();
// setlogmask: 0 only asks; the previous mask.
int fsim_syslog_setmask(int mask);
// Formats the message (with %m) and appends its line unless the mask drops its priority.
void fsim_syslog_v(int pri, const char* fmt, va_list ap);

// Records "mount <source> <target> <fstype> <flags-hex>"; 0, or -1 with the errno that the
// first matching line of mount.fail gives. Nothing is mounted.
int fsim_mount(const char* source, const char* target, const char* fstype, unsigned long flags);
// Records "umount <target> <flags-hex>"; always 0.
int fsim_umount(const char* target, int flags);
