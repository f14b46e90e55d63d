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
 * A compression of the file at source into a standard gzip file at target
 * (gunzip reads it), done in steps so that a caller can spread it over timer
 * ticks. The caller owns the handle from wgzFileOpCreate until it passes it
 * to wgzFileOpDestroy. */
typedef uintptr_t wgz_file_op; /* 0 = none */

#define WGZ_ERR_READ (-8)    /* reading the source failed */
#define WGZ_ERR_WRITE (-10)  /* writing the image failed (disk full, ...) */
#define WGZ_ERR_OPEN (-3)    /* the source or the image could not be opened */
#define WGZ_ERR_MEMORY (-4)  /* out of memory during a step */
#define WGZ_ERR_ZLIB (-5)    /* zlib refused (should not happen) */
#define WGZ_ERR_STATE (-7)   /* a null handle */

/* The step size that a step_bytes below 1 stands for. */
#define WGZ_DEFAULT_STEP 8192

/* Starts a compression (level: 1 = fast ... 9 = best, other values give the
 * default). Nothing is opened yet: opening happens in the first step, so
 * creation only fails for null paths or lack of memory (0, errno set). */
wgz_file_op wgzFileOpCreate(const char *source, const char *target, int level);
/* Reads up to step_bytes of the source and compresses them.
 * Returns 1 while work remains and 0 when the image is complete: the step
 * that reads the last byte of the source also finishes the gzip stream,
 * flushes and closes the image (a failed close is WGZ_ERR_WRITE). A source
 * of k * step_bytes bytes (k >= 1) therefore takes exactly k steps, one of
 * k * step_bytes + r bytes (0 < r < step_bytes) k + 1 steps, and an empty
 * source one step. The first step opens both files: WGZ_ERR_OPEN when the
 * source cannot be opened (the image is then not created) or the image
 * cannot be created. Any negative WGZ_ERR_* value ends the compression: the
 * files are closed, a partial image stays on disk for the caller to remove,
 * and further calls return the same value. Further calls after completion
 * return 0 again. */
int wgzFileOpExecOnSingleBuffer(wgz_file_op op, int step_bytes);
/* The reason of the failure in words, naming the path and the system error
 * ("" before any failure). Valid until the handle is destroyed. */
const char *wgzFileOpError(wgz_file_op op);
/* Releases the handle (0 is ignored); an unfinished image is closed as it
 * stands. */
void wgzFileOpDestroy(wgz_file_op op);

/* ---- directory streams ----------------------------------------------------
 * A tree as one POSIX tar (pax) byte stream. Read mode produces the stream
 * of the tree at a directory and knows its exact size at open; write mode
 * consumes such a stream in chunks of any size and extracts it safely under
 * the directory (created when missing): nothing is ever created or replaced
 * outside it. A handle is used by one thread at a time; the caller owns it
 * from wgzDirOpen until wgzDirClose.
 *
 * Read mode: the stream holds the entries below the directory (not the
 * directory itself), relative to it ("sub/file"), parents before children,
 * siblings in byte order of their names: directories (empty ones too),
 * regular files and symbolic links (stored as links, never followed), with
 * their modes and modification times. Other kinds of files (sockets,
 * devices, pipes) are left out. Hard links are stored as separate files.
 * The tree is listed once at open; the stream is then produced on demand
 * with bounded memory (never a whole file). A file that no longer has the
 * size it had at open, or has gone, fails the read; files added after the
 * open are not included.
 *
 * Write mode: the stream (pax, ustar or GNU tar; "./" prefixes allowed) is
 * extracted by a worker thread of the stream, fed through a bounded queue.
 * Entries restore their permission bits (without set-user-ID and
 * set-group-ID) and modification times, not their owners. The stream fails
 * (and stays failed) at the first entry that is absolute, has a ".."
 * component, would be written through a symbolic link, would replace a
 * directory of the same archive, is a hard link to something outside the
 * directory (or, carrying data, to anything but a regular file with no
 * other name), is a device or socket, has a path of PATH_MAX bytes or more
 * under the directory, or cannot be written; at a damaged or truncated
 * archive; and when the input ends before the archive's end marker.
 * Symbolic links themselves are extracted as they are, whatever they
 * point to. */
typedef uintptr_t wgz_dir; /* 0 = none */

/* mode "r" or "w". block_hint (1000000) bounds buffering: write mode queues
 * at most about twice that many bytes (between 64 KiB and 16 MiB); recurse
 * is 1 for read mode (0 lists only the directory's own entries); flags is
 * 0. In read mode *size (when size is not null) receives the exact number
 * of bytes the stream will produce. In write mode the directory is created
 * with its parents when missing. 0 on failure (errno set; wgzDirError(0)
 * tells why on this thread). */
wgz_dir wgzDirOpen(const char *directory, const char *mode, int block_hint, int recurse,
                   int flags, uint64_t *size);
/* Read mode: fills the buffer with count bytes of the stream, fewer only at
 * its end; 0 once the end has been reached, -1 on failure (the stream then
 * stays failed). The bytes of all reads add up to the size that the open
 * announced. *position (when not null) receives the low 32 bits of the
 * stream position after the read. */
int wgzDirRead(wgz_dir dir, void *buffer, int count, uint32_t *position);
/* Write mode: queues count bytes for extraction and returns count; it
 * blocks only while the queue is full. A value below 1 means the stream
 * has failed (a hostile entry, a write error, a malformed archive; see
 * wgzDirError) or was already finished. Bytes after the archive's end
 * marker are accepted and ignored. Success here does not mean the bytes
 * are on disk: only wgzDirFinish says that. *position (when not null)
 * receives the low 32 bits of the number of bytes accepted. */
int wgzDirWrite(wgz_dir dir, const void *buffer, int count, uint32_t *position);
/* Write mode: ends the input and waits until the extraction is complete.
 * 0 when the whole archive, up to its end marker, was extracted and every
 * entry is on disk with its mode and time; -1 otherwise (wgzDirError tells
 * why). The handle stays open; later calls return the same result. Read
 * mode: 0, or -1 when a read failed. */
int wgzDirFinish(wgz_dir dir);
/* The first error of the stream in words, naming the entry or file (never
 * null; "" while there is none). Valid until the next call on the handle.
 * With 0: why the last wgzDirOpen on this thread failed. */
const char *wgzDirError(wgz_dir dir);
/* Completes (as wgzDirFinish) and releases the stream; returns what
 * wgzDirFinish returns. The worker thread is always joined. 0 is ignored
 * (-1). */
int wgzDirClose(wgz_dir dir);

#ifdef __cplusplus
}
#endif
#endif
