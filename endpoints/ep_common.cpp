// Shared pieces of the endpoint programs: storage bring-up, path split,
// name/tag/digest rules, reply heads, error replies with an extra header,
// the page-size parameter, listing pages and file streaming.
#include "ep_common.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "oci_common.h"
#include "platform.h"
#include "reg_storage.h"
#include "tn_cgi.h"

namespace {

constexpr char kApiVersion[] = "Docker-Distribution-API-Version: registry/2.0";
constexpr size_t kMaxName = 255;
constexpr size_t kMaxTag = 128;
constexpr size_t kPiece = 64 * 1024;
unsigned char s_piece[kPiece];

bool alnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Finds the last occurrence of `needle` in `hay`.
const char *find_last(const char *hay, const char *needle) {
  const char *found = nullptr;
  for (const char *p = strstr(hay, needle); p != nullptr; p = strstr(p + 1, needle)) found = p;
  return found;
}

}  // namespace

extern "C" {

void ep_init_storage(void) {
  if (oci_init_storage() != 0)
    oci_send_error(500, "STORAGE_ERROR", "Failed to initialize registry storage");
}

int ep_name_valid(const char *name) {
  if (!oci_valid_repo_name(name) || strstr(name, "..") != nullptr) return 0;
  // Each component begins and ends with a letter or digit: no ".", no
  // "_manifests" or other name that would reach into the store's own
  // directories.
  size_t len = strlen(name);
  for (size_t i = 0; i < len; i++) {
    bool starts = i == 0 || name[i - 1] == '/';
    bool ends = i == len - 1 || name[i + 1] == '/';
    if ((starts || ends) && !alnum(static_cast<unsigned char>(name[i]))) return 0;
  }
  return 1;
}

int ep_tag_valid(const char *tag) {
  if (tag == nullptr || tag[0] == '\0') return 0;
  size_t len = strlen(tag);
  if (len > kMaxTag) return 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(tag[i]);
    if (!(alnum(c) || c == '_' || (i > 0 && (c == '.' || c == '-')))) return 0;
  }
  return 1;
}

int ep_digest_valid(const char *digest) {
  if (digest == nullptr || strncmp(digest, "sha256:", 7) != 0 || strlen(digest) != 71) return 0;
  for (const char *p = digest + 7; *p != '\0'; p++) {
    if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return 0;
  }
  return 1;
}

int ep_split_path(const char *path, const char *marker, char *name, size_t name_size,
                  char *rest, size_t rest_size) {
  if (path == nullptr || marker == nullptr || marker[0] == '\0' || name == nullptr ||
      rest == nullptr || name_size == 0 || rest_size == 0)
    return -1;
  while (*path == '/') path++;
  if (strncmp(path, "v2/", 3) == 0) path += 3;
  const char *at = find_last(path, marker);
  if (at == nullptr || at == path) return -1;
  const char *after = at + strlen(marker);
  size_t rest_len = strlen(after);
  if (rest_len >= rest_size || strchr(after, '/') != nullptr) return -1;
  size_t name_len = static_cast<size_t>(at - path);
  if (name_len > kMaxName || name_len >= name_size) return 0;
  char tmp[kMaxName + 1];
  memcpy(tmp, path, name_len);
  tmp[name_len] = '\0';
  if (!ep_name_valid(tmp)) return 0;
  memcpy(name, tmp, name_len + 1);
  memcpy(rest, after, rest_len + 1);
  return 1;
}

void ep_resource(const char *marker, char *name, size_t name_size, char *rest,
                 size_t rest_size) {
  int split = ep_split_path(cgi_path_info(), marker, name, name_size, rest, rest_size);
  if (split < 0) oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
  if (split == 0) oci_send_error(400, "NAME_INVALID", "invalid repository name");
}

void ep_head(int status, const char *reason) {
  cgi_header_status(status, reason);
  cgi_header_extra(kApiVersion);
}

void ep_reply_empty(int status, const char *reason) {
  ep_head(status, reason);
  cgi_header_extra("Content-Length: 0");
  cgi_headers_end();
}

int ep_page_size(const char *name, int *out) {
  const char *v = cgi_query(name);
  if (v == nullptr || v[0] == '\0') {
    *out = REG_PAGE_MAX;
    return 0;
  }
  long long n = 0;
  for (const char *p = v; *p != '\0'; p++) {
    if (*p < '0' || *p > '9') return -1;
    if (n <= REG_PAGE_MAX) n = n * 10 + (*p - '0');  // stops growing once past the cap
  }
  *out = n > REG_PAGE_MAX ? REG_PAGE_MAX : static_cast<int>(n);
  return 0;
}

void ep_send_page(const char *base, int n, const char *next, const char *doc, int with_body) {
  ep_head(200, "OK");
  cgi_header_json();
  if (next[0] != '\0') {
    char link[1024];
    tn_snprintf(link, sizeof link, "Link: <%s?n=%d&last=%s>; rel=\"next\"", base, n, next);
    cgi_header_extra(link);
  }
  cgi_headers_end();
  if (with_body) {
    fputs(doc, stdout);
    fputc('\n', stdout);
    fflush(stdout);
  }
}

FILE *ep_open_stored(const char *path, const char *code, const char *message,
                     uint64_t *out_size) {
  FILE *f = plat_fopen(path, "rb");
  if (f == nullptr) oci_send_error(404, code, message);
  int64_t len = plat_file_length(f);
  if (len < 0) {
    fclose(f);
    oci_send_error(500, "STORAGE_ERROR", "cannot read stored file");
  }
  *out_size = static_cast<uint64_t>(len);
  return f;
}

int ep_send_file(FILE *f, uint64_t offset, uint64_t count) {
  if (offset > 0) {
    if (offset <= static_cast<uint64_t>(LONG_MAX)) {
      if (fseek(f, static_cast<long>(offset), SEEK_SET) != 0) return -1;
    } else {
      // Beyond what fseek takes on this platform: read up to the offset.
      uint64_t skip = offset;
      while (skip > 0) {
        size_t want = skip < kPiece ? static_cast<size_t>(skip) : kPiece;
        size_t n = fread(s_piece, 1, want, f);
        if (n == 0) return -1;
        skip -= n;
      }
    }
  }
  while (count > 0) {
    size_t want = count < kPiece ? static_cast<size_t>(count) : kPiece;
    size_t n = fread(s_piece, 1, want, f);
    if (n == 0) return -1;
    if (fwrite(s_piece, 1, n, stdout) != n) return -1;
    count -= n;
  }
  return fflush(stdout) == 0 ? 0 : -1;
}

}  // extern "C"
