// Storage context: process-wide state, bring-up, last-error text, and the
// file helpers every other part of the store is built on.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cctype>

#include "platform.h"
#include "storage_internal.h"

namespace regst {

char s_root[kRootSize];
int s_ready;
char s_error[kErrorSize];
char s_result[kResultSize];
uint32_t s_seed;

namespace {

// The storage's own config.json, written once when absent and never read.
constexpr char kConfigText[] =
    "{\n"
    "  \"schemaVersion\": 2,\n"
    "  \"title\": \"tolvaren-registry-storage\",\n"
    "  \"version\": \"1.0.0\",\n"
    "  \"maxUploadSize\": -1\n"
    "}\n";
static_assert(sizeof kConfigText - 1 == 110, "config.json is 110 bytes");

// Creates one directory prefix; done when made now, already there, or a
// directory of that name exists.
bool make_one(const char *path) {
  if (plat_mkdir(path) == 0) return true;
  if (errno == EEXIST) return true;
  return dir_exists(path) != 0;
}

// Makes one of the tree's fixed directories; records the failure.
int make_area(const char *a, const char *b) {
  char p[kPathSize];
  path_join(p, sizeof p, s_root, a);
  if (b != nullptr) {
    char q[kPathSize];
    path_join(q, sizeof q, p, b);
    memcpy(p, q, sizeof p);
  }
  if (mkdirs(p) != 0) {
    set_error("mkdirs failed: %s", p);
    return -1;
  }
  return 0;
}

}  // namespace

void set_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(s_error, sizeof s_error, fmt, ap);
  va_end(ap);
}

int require_ready() {
  if (s_ready) return 0;
  set_error("not initialized - call reg_storage_init first");
  return -1;
}

int path_join(char *out, size_t size, const char *a, const char *b) {
  return snprintf(out, size, "%s%s%s", a ? a : "", "\\", b ? b : "");
}

char *xstrdup(const char *s) {
  if (s == nullptr) return nullptr;
  size_t n = strlen(s) + 1;
  char *p = static_cast<char *>(malloc(n));
  if (p != nullptr) memcpy(p, s, n);
  return p;
}

int mkdirs(const char *path) {
  if (path == nullptr) return -1;
  size_t len = strlen(path);
  if (len == 0 || len >= kPathSize) return -1;
  char buf[kPathSize];
  memcpy(buf, path, len + 1);

  // Never create an empty component for a leading separator, nor a bare
  // drive such as "C:".
  size_t start = 1;
  if (isalpha(static_cast<unsigned char>(buf[0])) && buf[1] == ':') {
    start = (len >= 4 && (buf[2] == '\\' || buf[2] == '/')) ? 3 : 2;
  }
  for (size_t i = start; i < len; i++) {
    if (buf[i] != '\\' && buf[i] != '/') continue;
    char sep = buf[i];
    buf[i] = '\0';
    bool ok = make_one(buf);
    buf[i] = sep;
    if (!ok) return -1;
  }
  return make_one(buf) ? 0 : -1;
}

int file_exists(const char *path) {
  int is_dir = 0;
  return plat_attr(path, &is_dir, nullptr) == 0 && !is_dir ? 1 : 0;
}

int dir_exists(const char *path) {
  int is_dir = 0;
  return plat_attr(path, &is_dir, nullptr) == 0 && is_dir ? 1 : 0;
}

int64_t file_size(const char *path) {
  int64_t size = 0;
  if (plat_attr(path, nullptr, &size) != 0) return -1;
  return size;
}

int read_file(const char *path, char *buf, size_t cap, size_t *out_len) {
  if (buf == nullptr || cap == 0) return -1;
  FILE *f = plat_fopen(path, "rb");
  if (f == nullptr) return -1;
  size_t n = fread(buf, 1, cap - 1, f);
  int err = ferror(f);
  fclose(f);
  if (err) return -1;
  buf[n] = '\0';
  if (out_len != nullptr) *out_len = n;
  return 0;
}

int write_file(const char *path, const void *data, size_t len) {
  FILE *f = plat_fopen(path, "wb");
  if (f == nullptr) return -1;
  size_t n = len ? fwrite(data, 1, len, f) : 0;
  int err = ferror(f);
  fclose(f);
  return !err && n == len ? 0 : -1;
}

int write_file_atomic(const char *path, const void *data, size_t len) {
  // The temporary name carries the final name, so it lies in the same
  // directory (the rename never crosses directories) and never looks like a
  // body, a link or a tag directory to any listing.
  for (int attempt = 0; attempt < 8; attempt++) {
    uint32_t r = 0;
    plat_random(&r, sizeof r);
    char tmp[kPathSize];
    int n = snprintf(tmp, sizeof tmp, "%s.tmp-%lu-%08x", path, plat_pid(),
                     static_cast<unsigned>(r));
    if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) return -1;
    FILE *f = plat_fopen(tmp, "wbx");
    if (f == nullptr) {
      if (errno == EEXIST) continue;
      return -1;
    }
    size_t w = len ? fwrite(data, 1, len, f) : 0;
    int err = ferror(f);
    if (fclose(f) != 0) err = 1;
    if (err || w != len || plat_rename_replace(tmp, path) != 0) {
      plat_remove(tmp);
      return -1;
    }
    return 0;
  }
  return -1;
}

int remove_file(const char *path) {
  if (!file_exists(path)) return 0;
  return plat_remove(path) == 0 ? 0 : -1;
}

int list_dir(const char *path, dir_listing *out) {
  out->count = 0;
  out->truncated = 0;
  if (!dir_exists(path)) return -1;
  plat_dir *d = plat_dir_open(path);
  if (d == nullptr) return -1;
  char name[kNameSize];
  int is_dir = 0;
  while (plat_dir_next(d, name, sizeof name, &is_dir) == 1) {
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (out->count == kListMax) {
      out->truncated = 1;
      break;
    }
    dir_entry &e = out->entries[out->count++];
    memcpy(e.name, name, sizeof e.name);
    e.is_dir = is_dir;
  }
  plat_dir_close(d);
  return 0;
}

}  // namespace regst

using namespace regst;

extern "C" {

int reg_storage_init(const char *root) {
  if (root == nullptr || root[0] == '\0') {
    set_error("storage root dir is empty");
    return -1;
  }
  if (s_ready) reg_storage_cleanup();
  size_t len = strlen(root);
  if (len >= kRootSize) {
    set_error("storage root dir too long (max 3499 chars)");
    return -1;
  }
  memcpy(s_root, root, len + 1);
  if (s_root[len - 1] == '\\') s_root[len - 1] = '\0';

  if (mkdirs(s_root) != 0) {
    set_error("mkdirs failed: %s", s_root);
    return -1;
  }
  if (make_area("blobs", "sha256") != 0) return -1;
  if (make_area("repositories", nullptr) != 0) return -1;
  if (make_area("uploads", nullptr) != 0) return -1;

  char cfg[kPathSize];
  path_join(cfg, sizeof cfg, s_root, "config.json");
  if (!file_exists(cfg) && write_file(cfg, kConfigText, sizeof kConfigText - 1) != 0) {
    set_error("write config.json failed");
    return -1;
  }

  // The time, the address of the state, and 32 bits from the OS's random
  // source: processes started in the same second then make different
  // identifiers, and other clients cannot guess them.
  uint32_t seed = static_cast<uint32_t>(plat_time()) ^
                  static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&s_seed));
  uint32_t extra = 0;
  if (plat_random(&extra, sizeof extra) == 0) seed ^= extra;
  s_seed = seed != 0 ? seed : 0x9e3779b9u;

  s_ready = 1;
  s_error[0] = '\0';
  return 0;
}

void reg_storage_cleanup(void) {
  s_ready = 0;
  s_root[0] = '\0';
}

const char *reg_storage_last_error(void) { return s_error; }

}  // extern "C"
