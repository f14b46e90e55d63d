/*
 * corvel: the OS services the plug-in uses for paths, directories, sizes,
 * free space, removal and string helpers, over POSIX.
 *
 * Status results are 32-bit values. Blocks returned to the caller come from
 * maw_malloc (trellis) and are released with maw_free unless a call names
 * its own release function.
 */
#ifndef CORVEL_H
#define CORVEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t os_status;
#define OS_STATUS_SUCCESS 0x2000001u       /* done */
#define OS_STATUS_NOT_FOUND 0x2000003u     /* the path does not exist */
#define OS_STATUS_ACCESS_DENIED 0x2000005u /* permission refused (EACCES, EPERM, EROFS) */
#define OS_STATUS_IO_ERROR 0x200000bu      /* any other failure; errno tells more */
#define OS_STATUS_TOO_LONG 0x200000du      /* the result does not fit the buffer */
#define OS_STATUS_BAD_PATH 0x200000eu      /* the path cannot be mapped (a ".." component) */

/* Size that means "no size could be read". */
#define OS_SIZE_UNKNOWN UINT64_MAX

/* The temporary directory: $TMPDIR when set and not empty, else "/tmp",
 * without a trailing separator. kind and flags are -1 and 0.
 * OS_STATUS_TOO_LONG when it does not fit in buffer. */
os_status os_get_tmp_dir(int kind, int flags, char *buffer, size_t size);

/* Nonzero when the path exists (anything, following links). */
int os_is_file_exist(const char *path);
/* Nonzero when the path exists and is a directory. */
int os_is_dir_exist(const char *directory);
/* Creates every missing level of directory (mode 0777 less umask).
 * OS_STATUS_SUCCESS, or a failure status with errno set. */
os_status os_make_path(const char *directory);
/* The directory part of path as dirname(3) gives it ("." when it has none,
 * "/" for a root file; trailing separators are ignored).
 * OS_STATUS_TOO_LONG when it does not fit in buffer. */
os_status os_get_dir_name(const char *path, char *buffer, size_t size);
/* Free bytes for an unprivileged writer on the volume of directory. A path
 * that does not exist (yet) is measured at its nearest existing ancestor;
 * 0 when nothing can be measured. */
uint64_t os_get_free_disk_space(const char *directory);
/* Size in bytes of the file (following links); OS_SIZE_UNKNOWN when it
 * cannot be read. */
uint64_t os_get_file_size(const char *path);
/* Removes a file (not a directory; a symbolic link itself). flags is 1.
 * OS_STATUS_NOT_FOUND when the path does not exist; a directory is an
 * OS_STATUS_IO_ERROR (errno EISDIR). */
os_status os_remove_file(const char *path, int flags);
/* Removes a tree (or a single file) without following symbolic links: a
 * link is removed as a link, also when path itself is one. flags and flags2
 * are 1 and 0. The walk goes on past failures and returns the first one
 * (errno set). The root and paths ending in "." or ".." are refused. */
os_status os_remove_minus_r(const char *path, int flags, int flags2);

/* An open directory. The first member is the directory's path. */
typedef struct os_dir {
    char *path;
    void *impl;
} os_dir;
/* Opens directory for reading; null on failure, with *error set to errno. */
os_dir *os_opendir(const char *directory, int *error);
/* The next entry name ("." and ".." included, as the system gives them),
 * null after the last. Valid until the next call on the same record. */
const char *os_readdir(os_dir *dir);
/* Closes and releases the record; null is ignored. */
void os_closedir(os_dir *dir);

/* String helpers. */
const char *os_strstr(const char *text, const char *pattern);
char *os_strdup(const char *text);  /* null on null or on allocation failure */
void os_strdup_free(char *copy);
/* strtok with a per-thread position. */
char *os_strtok(char *text, const char *delimiters);
/* 0 when the first count characters of a and b match, ignoring ASCII case;
 * otherwise below or above 0 as a sorts before or after b. */
int os_strnicmp(const char *a, const char *b, size_t count, int flags);

/* The platform tag handed on to os_qknetpath_create_net_path (always
 * OS_TYPE_POSIX here). */
#define OS_TYPE_POSIX 1
int os_get_current_os_type(void);
/* Maps a network path onto base: '/' and '\' both separate components,
 * empty and "." components are dropped and the rest are joined under base
 * with '/' (trailing separators of base are not doubled). A path with no
 * component left maps to base itself. A ".." component cannot be mapped:
 * *result is set to null and OS_STATUS_BAD_PATH returned; so do a null path
 * and a null or empty base. Names that merely contain dots ("a..b", "...")
 * are ordinary names. On success *result is a maw_malloc block; on
 * allocation failure *result is null and OS_STATUS_IO_ERROR returned.
 * os_type is ignored. */
os_status os_qknetpath_create_net_path(const char *path, const char *base, char **result,
                                       int os_type);

/* Test switches. A free-space override reports the given value for every
 * directory until corvel_clear_faults(); make_path failures make the next
 * count os_make_path calls fail with the given errno. */
void corvel_override_free_space(uint64_t bytes);
void corvel_fail_make_path(int count, int error);
void corvel_clear_faults(void);

#ifdef __cplusplus
}
#endif
#endif
