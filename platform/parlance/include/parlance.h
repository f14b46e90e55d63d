/*
 * parlance: the process-wide message catalogue.
 *
 * AddResourceFile loads a catalogue file into one registry shared by every
 * module of the process; the host formats the plug-in's reports with it.
 * File format: one entry per line, "CODE<TAB>printf format"; blank lines and
 * lines starting with '#' are ignored. A format may use only %d, %i, %u, %x,
 * %X, %c and %s conversions (with flags and width) and %%: report arguments
 * are ints and strings only, so anything else is refused when loading.
 */
#ifndef PARLANCE_H
#define PARLANCE_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Loads (or reloads) the entries of the file at path; a code seen again
 * replaces the earlier text. 0 on success, -1 when the file cannot be read
 * or holds a malformed line (nothing of that file is loaded then). */
int AddResourceFile(const char *path);

/* Why the calling thread's last AddResourceFile failed ("path: line N:
 * reason"); empty after a success. The reason also goes to standard error,
 * since the module that registers a catalogue often cannot show it. */
const char *parlance_last_error(void);

/* The format registered for code, or null. The pointer stays valid until
 * the entry is replaced or parlance_clear() runs. */
const char *parlance_lookup(int code);

/* Formats the report of code with its arguments into buffer (always NUL
 * terminated when size > 0) and returns the length of the full text, as
 * snprintf does. A null string argument prints as "(none)". A code without
 * an entry prints as "message CODE" followed by nothing else. */
int parlance_vformat(int code, va_list args, char *buffer, size_t size);

/* Drops every entry (tests). */
void parlance_clear(void);

#ifdef __cplusplus
}
#endif
#endif
