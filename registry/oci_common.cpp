// Registry front: storage start-up, the registry's JSON replies, the
// repository-name check and the split of a request path at a marker.
#include "oci_common.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "reg_storage.h"
#include "tn_cgi.h"

namespace {

// Set after the storage library came up; later calls return at once.
int s_storage_ready;

constexpr size_t kRootSize = 1024;
constexpr size_t kConfigSize = 2048;
constexpr char kDefaultRoot[] = "./registry_storage";
constexpr char kConfigFile[] = "config.json";
constexpr char kKeyStorageRoot[] = "\"storage_root\":";
constexpr char kKeyRegistryRoot[] = "\"registry_storage_root\":";
static_assert(sizeof kDefaultRoot <= kRootSize, "default root fits the root buffer");

constexpr char kApiVersion[] = "Docker-Distribution-API-Version: registry/2.0";
constexpr char kErrHead[] = "{\"errors\":[{\"code\":\"";
constexpr char kErrMid[] = "\",\"message\":\"";
constexpr char kErrTail[] = "\"}]}\n";
static_assert(sizeof kErrHead - 1 == 20, "error body head is 20 bytes");
static_assert(sizeof kErrMid - 1 == 13, "error body middle is 13 bytes");
static_assert(sizeof kErrTail - 1 == 5, "error body tail is 5 bytes");

constexpr size_t kMaxRepoName = 255;

// Copies the storage root named in ./config.json into root (kRootSize
// bytes, zeroed by the caller). The file is read as plain text, not parsed:
// only its first 2047 bytes are searched, for "storage_root" and, only when
// that key is absent, "registry_storage_root"; the value is the text between
// the next two quotation marks, taken literally. A missing file, key or
// quotation mark, or a value of 1024 characters or more, copies nothing.
void root_from_config(char *root) {
  FILE *f = plat_fopen(kConfigFile, "rb");
  if (f == nullptr) return;
  char text[kConfigSize];
  memset(text, 0, sizeof text);
  size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[n] = '\0';

  const char *key = strstr(text, kKeyStorageRoot);
  if (key == nullptr) key = strstr(text, kKeyRegistryRoot);
  if (key == nullptr) return;
  const char *colon = strchr(key, ':');
  if (colon == nullptr) return;
  const char *open = strchr(colon + 1, '"');
  if (open == nullptr) return;
  const char *close = strchr(open + 1, '"');
  if (close == nullptr) return;
  size_t len = static_cast<size_t>(close - (open + 1));
  if (len > kRootSize - 1) return;
  memcpy(root, open + 1, len);
  root[len] = '\0';
}

// The head every registry JSON reply starts with; `extra` (a header line,
// or null) goes right after the API version line.
void json_head(int status, const char *extra = nullptr) {
  cgi_header_status(status, nullptr);
  cgi_header_extra(kApiVersion);
  if (extra != nullptr) cgi_header_extra(extra);
  cgi_header_json();
  cgi_headers_end();
}

constexpr bool is_ascii_alnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

constexpr bool is_separator(unsigned char c) {
  return c == '-' || c == '_' || c == '.' || c == '/';
}

}  // namespace

extern "C" {

int oci_init_storage(void) {
  if (s_storage_ready) return 0;

  char root[kRootSize];
  memset(root, 0, sizeof root);
  const char *env = getenv("REGISTRY_STORAGE_ROOT");
  if (env != nullptr && env[0] != '\0')
    tn_strlcpy(root, env, sizeof root);
  else
    root_from_config(root);
  if (root[0] == '\0') tn_strlcpy(root, kDefaultRoot, sizeof root);

  int r = reg_storage_init(root);
  if (r == 0) s_storage_ready = 1;
  return r;
}

void oci_send_error(int status, const char *code, const char *message) {
  oci_send_error_line(status, code, message, nullptr);
}

void oci_send_error_line(int status, const char *code, const char *message, const char *line) {
  json_head(status, line);
  fputs(kErrHead, stdout);
  fputs(code != nullptr ? code : "UNKNOWN", stdout);
  fputs(kErrMid, stdout);
  json_escape_f(stdout, message != nullptr ? message : "Unknown error");
  fputs(kErrTail, stdout);
  fflush(stdout);
  exit(0);
}

void oci_send_json(int status, const char *json) {
  json_head(status);
  if (json != nullptr && json[0] != '\0') {
    fputs(json, stdout);
    fputc('\n', stdout);
  } else {
    fputs("{}\n", stdout);
  }
  fflush(stdout);
}

int oci_valid_repo_name(const char *name) {
  if (name == nullptr || name[0] == '\0') return 0;
  size_t len = strnlen(name, kMaxRepoName + 1);
  if (len > kMaxRepoName) return 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (is_ascii_alnum(c)) continue;
    if (!is_separator(c)) return 0;
    if (i == 0 || i == len - 1) return 0;
    if (c == '/' && name[i - 1] == '/') return 0;
  }
  return 1;
}

int oci_parse_repo_marker(const char *path, const char *marker, char *name, size_t name_size,
                          char *id, size_t id_size) {
  if (path == nullptr || marker == nullptr || name == nullptr || name_size == 0) return 0;
  name[0] = '\0';
  const bool want_id = id != nullptr && id_size != 0;
  if (want_id) id[0] = '\0';

  const char *rest = path;
  while (*rest == '/') rest++;
  if (strncmp(rest, "v2/", 3) == 0)
    rest += 3;
  else if (strcmp(rest, "v2") == 0)
    rest += 2;

  const char *at = strstr(rest, marker);
  if (at == nullptr) return 0;
  size_t name_len = static_cast<size_t>(at - rest);
  if (name_len == 0 || name_len >= name_size) return 0;
  memcpy(name, rest, name_len);
  name[name_len] = '\0';
  if (!oci_valid_repo_name(name)) return 0;
  if (!want_id) return 1;

  const char *after = at + strlen(marker);
  while (*after == '/') after++;
  tn_strlcpy(id, after, id_size);
  size_t id_len = strlen(id);
  if (id_len > 0 && id[id_len - 1] == '/') id[id_len - 1] = '\0';
  return 1;
}

}  // extern "C"
