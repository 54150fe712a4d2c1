// POSIX backend of the platform layer (see platform.h).
#ifndef _WIN32

#include "platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

int s_fail_countdown = 0;  // test hook: calls left before the injected failure
int s_fail_errno = 0;

// True when the armed test hook says this mutating call must fail.
bool injected_failure() {
  if (s_fail_countdown <= 0) return false;
  if (--s_fail_countdown > 0) return false;
  errno = s_fail_errno;
  return true;
}

// Copies `path` into `out` with every backslash turned into a slash.
// False (errno ENAMETOOLONG) when it does not fit, ENOENT for null.
bool to_native(const char *path, char (&out)[PLAT_PATH_MAX + 8]) {
  if (path == nullptr) {
    errno = ENOENT;
    return false;
  }
  size_t n = strlen(path);
  if (n >= PLAT_PATH_MAX) {
    errno = ENAMETOOLONG;
    return false;
  }
  for (size_t i = 0; i < n; i++) out[i] = path[i] == '\\' ? '/' : path[i];
  out[n] = '\0';
  return true;
}

bool writes(const char *mode) {
  return strchr(mode, 'w') != nullptr || strchr(mode, 'a') != nullptr ||
         strchr(mode, '+') != nullptr;
}

}  // namespace

struct plat_dir {
  DIR *dir;
  int fd;
};

extern "C" {

int plat_attr(const char *path, int *is_dir, int64_t *size) {
  char p[PLAT_PATH_MAX + 8];
  if (!to_native(path, p)) return -1;
  struct stat st;
  if (stat(p, &st) != 0) return -1;
  if (is_dir) *is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
  if (size) *size = static_cast<int64_t>(st.st_size);
  return 0;
}

plat_dir *plat_dir_open(const char *path) {
  char p[PLAT_PATH_MAX + 8];
  if (!to_native(path, p)) return nullptr;
  DIR *d = opendir(p);
  if (d == nullptr) return nullptr;
  // malloc rather than new: the endpoint programs then need nothing from the
  // C++ runtime library, which would otherwise be loaded at every request.
  plat_dir *pd = static_cast<plat_dir *>(malloc(sizeof(plat_dir)));
  if (pd == nullptr) {
    closedir(d);
    errno = ENOMEM;
    return nullptr;
  }
  pd->dir = d;
  pd->fd = dirfd(d);
  return pd;
}

int plat_dir_next(plat_dir *dir, char *name, size_t cap, int *is_dir) {
  if (dir == nullptr || name == nullptr || cap == 0) return -1;
  errno = 0;
  struct dirent *e = readdir(dir->dir);
  if (e == nullptr) return errno == 0 ? 0 : -1;
  size_t n = strlen(e->d_name);
  if (n > cap - 1) n = cap - 1;
  memcpy(name, e->d_name, n);
  name[n] = '\0';
  int d = 0;
  if (e->d_type == DT_DIR) {
    d = 1;
  } else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
    struct stat st;
    if (fstatat(dir->fd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)) d = 1;
  }
  if (is_dir) *is_dir = d;
  return 1;
}

void plat_dir_close(plat_dir *dir) {
  if (dir == nullptr) return;
  closedir(dir->dir);
  free(dir);
}

int plat_mkdir(const char *path) {
  char p[PLAT_PATH_MAX + 8];
  if (!to_native(path, p)) return -1;
  if (injected_failure()) return -1;
  return mkdir(p, 0777) == 0 ? 0 : -1;
}

int plat_rmdir(const char *path) {
  char p[PLAT_PATH_MAX + 8];
  if (!to_native(path, p)) return -1;
  if (injected_failure()) return -1;
  return rmdir(p) == 0 ? 0 : -1;
}

int plat_remove(const char *path) {
  char p[PLAT_PATH_MAX + 8];
  if (!to_native(path, p)) return -1;
  if (injected_failure()) return -1;
  return unlink(p) == 0 ? 0 : -1;
}

int plat_rename_noreplace(const char *from, const char *to) {
  char f[PLAT_PATH_MAX + 8], t[PLAT_PATH_MAX + 8];
  if (!to_native(from, f) || !to_native(to, t)) return -1;
  if (injected_failure()) return -1;
#ifdef SYS_renameat2
  if (syscall(SYS_renameat2, AT_FDCWD, f, AT_FDCWD, t, 1 /* RENAME_NOREPLACE */) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
  // File systems without renameat2: a hard link never replaces its target.
  if (link(f, t) != 0) return -1;
  if (unlink(f) != 0) {
    int e = errno;
    unlink(t);
    errno = e;
    return -1;
  }
  return 0;
}

int plat_rename_replace(const char *from, const char *to) {
  char f[PLAT_PATH_MAX + 8], t[PLAT_PATH_MAX + 8];
  if (!to_native(from, f) || !to_native(to, t)) return -1;
  if (injected_failure()) return -1;
  return rename(f, t) == 0 ? 0 : -1;
}

FILE *plat_fopen(const char *path, const char *mode) {
  char p[PLAT_PATH_MAX + 8];
  if (mode == nullptr || !to_native(path, p)) return nullptr;
  if (writes(mode) && injected_failure()) return nullptr;
  return fopen(p, mode);
}

void plat_binary_mode(FILE *) {
  // POSIX streams never translate line ends.
}

int64_t plat_file_length(FILE *stream) {
  if (stream == nullptr) return -1;
  struct stat st;
  if (fstat(fileno(stream), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

int64_t plat_time(void) { return static_cast<int64_t>(time(nullptr)); }

int plat_random(void *buf, size_t len) {
  unsigned char *p = static_cast<unsigned char *>(buf);
  while (len > 0) {
    ssize_t n = getrandom(p, len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

unsigned long plat_pid(void) { return static_cast<unsigned long>(getpid()); }

void plat_test_fail_nth(int n, int err) {
  s_fail_countdown = n > 0 ? n : 0;
  s_fail_errno = err;
}

}  // extern "C"

#endif  // _WIN32
