/*
 * foldex: gzip images of files and directory trees as tar streams.
 */
#ifndef FOLDEX_H
#define FOLDEX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- gzip file operations -------------------------------------------------
 * A compression of the file at source into a standard gzip file at target,
 * done in steps so that a caller can spread it over timer ticks. */
typedef uintptr_t wgz_file_op; /* 0 = none */

#define WGZ_ERR_READ (-8)    /* reading the source failed */
#define WGZ_ERR_WRITE (-10)  /* writing the image failed (disk full, ...) */
#define WGZ_ERR_OPEN (-3)    /* the source or the image could not be opened */
#define WGZ_ERR_ZLIB (-5)    /* zlib refused (should not happen) */
#define WGZ_ERR_STATE (-7)   /* a null or finished handle */

/* Starts a compression (level: 1 = fast ... 9 = best, other values give the
 * default). Opening happens in the first step, so creation only fails for
 * lack of memory (0). */
wgz_file_op wgzFileOpCreate(const char *source, const char *target, int level);
/* Reads up to step_bytes of the source and compresses them. > 0 while work
 * remains, 0 when the image is complete and closed, a negative WGZ_ERR_*
 * value on failure (the handle is then finished; further calls repeat it). */
int wgzFileOpExecOnSingleBuffer(wgz_file_op op, int step_bytes);
/* Releases the handle; an unfinished image is closed as it stands. */
void wgzFileOpDestroy(wgz_file_op op);

/* ---- directory streams ----------------------------------------------------
 * A tree as one POSIX tar (pax) byte stream. Read mode produces the stream
 * of the tree at a directory and knows its exact size at open; write mode
 * consumes such a stream in chunks of any size and extracts it safely under
 * the directory (created when missing): nothing is ever created or replaced
 * outside it. */
typedef uintptr_t wgz_dir; /* 0 = none */

/* mode "r" or "w". block_hint (1000000) bounds buffering; recurse is 1 for
 * read mode; flags is 0. In read mode *size receives the exact number of
 * bytes the stream will produce. 0 on failure (errno set). */
wgz_dir wgzDirOpen(const char *directory, const char *mode, int block_hint, int recurse,
                   int flags, uint64_t *size);
/* Read mode: up to count bytes of the stream; 0 at the end, -1 on failure.
 * *position receives the low 32 bits of the stream position. */
int wgzDirRead(wgz_dir dir, void *buffer, int count, uint32_t *position);
/* Write mode: consumes count bytes; returns count, or a value below 1 when
 * the stream failed (a hostile entry, a write error, a malformed archive). */
int wgzDirWrite(wgz_dir dir, const void *buffer, int count, uint32_t *position);
/* Write mode: ends the input and waits until the extraction is complete.
 * 0 when every entry was extracted, -1 otherwise. The handle stays open. */
int wgzDirFinish(wgz_dir dir);
/* The last error of the stream in words (never null). */
const char *wgzDirError(wgz_dir dir);
/* Completes (as wgzDirFinish in write mode) and releases the stream. */
int wgzDirClose(wgz_dir dir);

#ifdef __cplusplus
}
#endif
#endif
