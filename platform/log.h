// platform/log.h: the tool's messages. Each goes to standard error and is copied to the
// system log (identity "KRU", facility user) at its priority (LOG_CRIT, LOG_ERR, LOG_NOTICE,
// LOG_INFO, LOG_DEBUG from <syslog.h>).
#pragma once

#include <cstddef>

// Longest message, terminating NUL included; a longer one is cut to 319 characters.
inline constexpr size_t kru_log_max = 320;

// Opens the system log connection once at program start.
void kru_log_open();

// Copies the message to the system log only when standard output is not a terminal.
void kru_log(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Always copies the message to the system log.
void kru_log_err(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Sends a message to the system log only (no console copy), whatever standard output is.
void kru_log_syslog(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// For signal handlers: async-signal-safe. Writes the preformatted text to standard error at
// once and queues it; the system log copy (with kru_log's terminal rule) is sent by the next
// kru_log call, kru_log_err call or kru_log_flush(), because syslog(3) may not be called from
// a handler. A text longer than the queue's slots is cut; a full queue drops the copy.
void kru_log_async(int priority, const char* text);

// Sends the queued system log copies of kru_log_async.
void kru_log_flush();
