/*
 * platform.h - the operating-system seam of the registry.
 *
 * Everything the storage library, the digest engine and the CGI gateway need
 * from the operating system goes through these calls; no other directory
 * includes an OS header. The storage library builds its paths with
 * backslashes between components; every call here that takes a path treats
 * backslash and forward slash alike as directory separators (the POSIX
 * backend turns each backslash into a slash before the path reaches the OS).
 *
 * Return contract: calls returning int give 0 on success and -1 on failure
 * with errno set (ENOENT, EEXIST, ...); the layer never words an error text,
 * the caller does. Paths longer than PLAT_PATH_MAX - 1 bytes fail with
 * ENAMETOOLONG.
 *
 * One backend per OS: platform_posix.cpp (Linux and other POSIX systems) and
 * platform_win.cpp (Windows); each compiles to nothing on the other.
 */
#ifndef REGISTRY_PLATFORM_H
#define REGISTRY_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PLAT_PATH_MAX 4096
#define PLAT_NAME_MAX 512

/* Attributes of a path (links followed). 0 with *is_dir (1 or 0) and *size
 * (bytes; a directory's size attribute for directories) stored through the
 * non-null pointers; -1 when the path cannot be queried (absent, ...). */
int plat_attr(const char *path, int *is_dir, int64_t *size);

/* Directory enumeration. plat_dir_open gives null when the path is no
 * directory or cannot be read. plat_dir_next delivers entries in the OS's
 * order, "." and ".." included (callers skip them): 1 with the entry's name
 * (cut to cap - 1 bytes, always terminated) and directory flag, 0 at the end,
 * -1 on a read error. plat_dir_close accepts null. */
typedef struct plat_dir plat_dir;
plat_dir *plat_dir_open(const char *path);
int plat_dir_next(plat_dir *dir, char *name, size_t cap, int *is_dir);
void plat_dir_close(plat_dir *dir);

/* Creates one directory; errno EEXIST when something of that name exists. */
int plat_mkdir(const char *path);
/* Removes an empty directory. */
int plat_rmdir(const char *path);
/* Removes a file (never a directory). */
int plat_remove(const char *path);
/* Renames; fails with EEXIST when `to` exists, which stays untouched. */
int plat_rename_noreplace(const char *from, const char *to);
/* Renames, atomically replacing an existing file `to`. */
int plat_rename_replace(const char *from, const char *to);

/* fopen with the C modes ("rb", "wb", "ab", "wbx" for exclusive create). */
FILE *plat_fopen(const char *path, const char *mode);
/* Puts a stream into binary mode (no line-end translation). */
void plat_binary_mode(FILE *stream);
/* Length of an open file in bytes (64-bit); -1 when it cannot be taken.
 * The file position is left where it was. */
int64_t plat_file_length(FILE *stream);

/* Current calendar time in seconds. */
int64_t plat_time(void);
/* Fills buf with len bytes from the OS's random source; 0 or -1. */
int plat_random(void *buf, size_t len);
/* The calling process's id (distinguishes temporary file names). */
unsigned long plat_pid(void);

/* Test hook: the n-th mutating call from now on (mkdir, rmdir, remove,
 * rename, fopen for writing; n >= 1) fails with errno err, once.
 * n = 0 disarms it. Never used outside tests. */
void plat_test_fail_nth(int n, int err);

#ifdef __cplusplus
}
#endif

#endif
