// Repository names, tags, and the paths of a repository's manifest files.
//
// Kept apart from the manifest operations so that programs which only list
// or count (tags, catalog, statistics) do not pull in the JSON reader.
#include <stdio.h>
#include <string.h>

#include "storage_internal.h"

namespace regst {

namespace {

bool ascii_alnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Joins `n` components onto `base`, each join into its own buffer, the last
// into `out`.
void join_all(char *out, size_t out_size, const char *base, const char *const *parts, int n) {
  char a[kPathSize], b[kPathSize];
  const char *cur = base;
  char *bufs[2] = {a, b};
  for (int i = 0; i < n; i++) {
    if (i == n - 1) {
      path_join(out, out_size, cur, parts[i]);
      return;
    }
    char *dst = bufs[i % 2];
    path_join(dst, kPathSize, cur, parts[i]);
    cur = dst;
  }
}

}  // namespace

int repo_name_valid(const char *name) {
  if (name == nullptr || name[0] == '\0') return 0;
  size_t len = strlen(name);
  if (len > 255) return 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (!ascii_alnum(c) && c != '-' && c != '_' && c != '.' && c != '/' && c != '\\') return 0;
  }
  return strstr(name, "..") == nullptr ? 1 : 0;
}

int tag_valid(const char *tag) {
  // [A-Za-z0-9_][A-Za-z0-9._-]{0,127}: no separators, no "." or "..", and
  // short enough that no tag path is ever cut at the path buffer.
  if (tag == nullptr || tag[0] == '\0') return 0;
  size_t len = strlen(tag);
  if (len > 128) return 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(tag[i]);
    bool ok = ascii_alnum(c) || c == '_' || (i > 0 && (c == '.' || c == '-'));
    if (!ok) return 0;
  }
  return 1;
}

void repos_dir(char *out, size_t out_size) { path_join(out, out_size, s_root, "repositories"); }

void manifest_dir(const char *repo_name, char *out, size_t out_size) {
  const char *parts[] = {"repositories", repo_name, "_manifests"};
  join_all(out, out_size, s_root, parts, 3);
}

void manifest_tags_dir(const char *repo_name, char *out, size_t out_size) {
  char dir[kPathSize];
  manifest_dir(repo_name, dir, sizeof dir);
  path_join(out, out_size, dir, "tags");
}

void manifest_tag_dir(const char *repo_name, const char *tag, char *out, size_t out_size) {
  char dir[kPathSize];
  manifest_dir(repo_name, dir, sizeof dir);
  const char *parts[] = {"tags", tag, "current"};
  join_all(out, out_size, dir, parts, 3);
}

void manifest_tag_path(const char *repo_name, const char *tag, char *out, size_t out_size) {
  char dir[kPathSize];
  manifest_tag_dir(repo_name, tag, dir, sizeof dir);
  path_join(out, out_size, dir, "link");
}

bool tag_link_readable(const char *repo_name, const char *tag) {
  char path[kPathSize];
  manifest_tag_path(repo_name, tag, path, sizeof path);
  char content[kTagLinkRead];
  return read_file(path, content, sizeof content, nullptr) == 0;
}

void manifest_body_path(const char *repo_name, const char *digest_hex, char *out,
                        size_t out_size) {
  char dir[kPathSize];
  manifest_dir(repo_name, dir, sizeof dir);
  path_join(out, out_size, dir, digest_hex);
}

void manifest_ct_path(const char *repo_name, const char *digest_hex, char *out,
                      size_t out_size) {
  char body[kPathSize];
  manifest_body_path(repo_name, digest_hex, body, sizeof body);
  snprintf(out, out_size, "%s.ct", body);
}

void manifest_rev_dir(const char *repo_name, const char *digest_hex, char *out,
                      size_t out_size) {
  char dir[kPathSize];
  manifest_dir(repo_name, dir, sizeof dir);
  const char *parts[] = {"revisions", "sha256", digest_hex};
  join_all(out, out_size, dir, parts, 3);
}

void manifest_rev_path(const char *repo_name, const char *digest_hex, char *out,
                       size_t out_size) {
  char dir[kPathSize];
  manifest_rev_dir(repo_name, digest_hex, dir, sizeof dir);
  path_join(out, out_size, dir, "link");
}

}  // namespace regst

using namespace regst;

extern "C" {

int reg_repository_exists(const char *repo_name) {
  if (repo_name == nullptr) {
    set_error("repo_name is NULL");
    return -1;
  }
  if (require_ready() != 0) return -1;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name");
    return -1;
  }
  char dir[kPathSize];
  manifest_dir(repo_name, dir, sizeof dir);
  return dir_exists(dir);
}

}  // extern "C"
