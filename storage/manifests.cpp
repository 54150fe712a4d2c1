// Manifest store: repository names, tags, the paths of a repository's
// manifest files, and manifest put, get and delete.
//
// Below a repository's manifest directory a manifest is its body file
// <hex>, its media type <hex>.ct, its revision link revisions\sha256\<hex>\link
// and any number of tag links tags\<tag>\current\link; each link holds the
// 71-byte digest string. Every file a reader may open is written through a
// temporary file and a rename, so a reader in another process sees the old
// or the new content, never a part.
#include <stdio.h>
#include <string.h>

#include <memory>

#include <yyjson.h>

#include "platform.h"
#include "sha256.h"
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

void manifest_tag_path(const char *repo_name, const char *tag, char *out, size_t out_size) {
  char dir[kPathSize];
  manifest_dir(repo_name, dir, sizeof dir);
  const char *parts[] = {"tags", tag, "current", "link"};
  join_all(out, out_size, dir, parts, 4);
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

namespace {

constexpr char kDigestPrefix[] = "sha256:";
constexpr size_t kPrefixLen = sizeof kDigestPrefix - 1;
constexpr size_t kDigestLen = kPrefixLen + 64;  // a link's whole content
constexpr size_t kLinkReadSize = 128;           // room a tag link is read into
constexpr size_t kTypeReadSize = 127;           // read size of a media type
static_assert(kDigestLen + 1 == kDigestSize, "a digest string fills its buffer");

bool is_digest_ref(const char *reference) {
  return strncmp(reference, kDigestPrefix, kPrefixLen) == 0;
}

// A non-empty reference that names a tag the store refuses. Checked before
// any file is touched, so no tag reaches outside its own directory.
bool bad_tag(const char *reference) {
  return reference[0] != '\0' && !is_digest_ref(reference) && !tag_valid(reference);
}

struct doc_free {
  void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
using doc_ptr = std::unique_ptr<yyjson_doc, doc_free>;

// True when `obj` is an object whose first "digest" member is a valid digest
// string.
bool has_valid_digest(yyjson_val *obj) {
  if (!yyjson_is_obj(obj)) return false;
  yyjson_val *d = yyjson_obj_get(obj, "digest");
  return yyjson_is_str(d) && digest_valid(yyjson_get_str(d));
}

// Checks that `body` is an image manifest: a JSON object whose "config" is
// an object with a valid "digest" and whose "layers", when present, is an
// array of such objects. Records the failure.
int manifest_validate(const void *body, uint64_t body_len) {
  if (body_len > SIZE_MAX) {
    set_error("manifest JSON parse failed");
    return -1;
  }
  // Flags 0: strict standard JSON, nothing but white space after the root.
  // Not in situ, so the caller's bytes stay as they are.
  doc_ptr doc(yyjson_read(static_cast<const char *>(body), static_cast<size_t>(body_len), 0));
  if (!doc) {
    set_error("manifest JSON parse failed");
    return -1;
  }
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_obj(root)) {
    set_error("manifest must be a JSON object");
    return -1;
  }
  if (!has_valid_digest(yyjson_obj_get(root, "config"))) {
    set_error("manifest missing valid config.digest");
    return -1;
  }
  yyjson_val *layers = yyjson_obj_get(root, "layers");
  if (layers == nullptr) return 0;
  if (!yyjson_is_arr(layers)) {
    set_error("manifest layers must be an array");
    return -1;
  }
  size_t n = yyjson_arr_size(layers);
  for (size_t i = 0; i < n; i++) {
    if (!has_valid_digest(yyjson_arr_get(layers, i))) {
      set_error("manifest layer %zu missing valid digest", i);
      return -1;
    }
  }
  return 0;
}

// The directory that holds a tag's link: manifest dir, tags, tag, current.
void manifest_tag_dir(const char *repo_name, const char *tag, char *out, size_t out_size) {
  char tags[kPathSize], one[kPathSize];
  manifest_tags_dir(repo_name, tags, sizeof tags);
  path_join(one, sizeof one, tags, tag);
  path_join(out, out_size, one, "current");
}

// Whether the tag link at `path` names `digest_hex`. Only the prefix and the
// 64 digits after it are compared, so a link with a line end still counts:
// keeping a manifest too long is harmless, removing a named one is not.
bool link_names(const char *path, const char *digest_hex) {
  char link[kLinkReadSize];
  if (read_file(path, link, sizeof link, nullptr) != 0) return false;
  return is_digest_ref(link) && strncmp(link + kPrefixLen, digest_hex, 64) == 0;
}

}  // namespace

int manifest_resolve(const char *repo_name, const char *reference, char *out_hex) {
  if (is_digest_ref(reference)) {
    if (!digest_valid(reference)) {
      set_error("invalid digest reference");
      return -1;
    }
    snprintf(out_hex, kHexSize, "%s", reference + kPrefixLen);
    return 0;
  }
  char path[kPathSize];
  char link[kLinkReadSize];
  size_t len = 0;
  manifest_tag_path(repo_name, reference, path, sizeof path);
  if (read_file(path, link, sizeof link, &len) != 0) {
    set_error("tag not found: %s:%s", repo_name, reference);
    return -1;
  }
  // Exactly the digest string: the length also catches a NUL byte inside.
  if (len != kDigestLen || !digest_valid(link)) {
    set_error("corrupt tag link: %s:%s", repo_name, reference);
    return -1;
  }
  snprintf(out_hex, kHexSize, "%s", link + kPrefixLen);
  return 0;
}

int manifest_has_tag_for(const char *repo_name, const char *digest_hex) {
  // Walks the whole tags directory, however many tags it holds: a tag
  // missed here would let a delete remove a manifest that tag still names.
  char tags[kPathSize];
  manifest_tags_dir(repo_name, tags, sizeof tags);
  if (!dir_exists(tags)) return 0;
  plat_dir *d = plat_dir_open(tags);
  // A tags directory that cannot be read may still hold a tag naming the
  // digest; answer "named" so that the manifest is kept.
  if (d == nullptr) return 1;
  char name[kNameSize];
  int is_dir = 0;
  int rc = 0;
  int found = 0;
  while ((rc = plat_dir_next(d, name, sizeof name, &is_dir)) == 1) {
    if (!is_dir || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    char path[kPathSize];
    manifest_tag_path(repo_name, name, path, sizeof path);
    if (link_names(path, digest_hex)) {
      found = 1;
      break;
    }
  }
  plat_dir_close(d);
  if (rc < 0) return 1;  // the walk stopped early: same as unreadable
  return found;
}

}  // namespace regst

using namespace regst;

extern "C" {

int reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                     uint64_t body_len, const char *content_type, char *out_digest) {
  if (repo_name == nullptr || reference == nullptr || body == nullptr ||
      out_digest == nullptr) {
    set_error("NULL argument");
    return -1;
  }
  if (require_ready() != 0) return -1;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name: %s", repo_name);
    return -1;
  }
  if (reference[0] == '\0') {
    set_error("empty reference");
    return -1;
  }
  if (bad_tag(reference)) {
    set_error("invalid tag: %s", reference);
    return -1;
  }
  if (manifest_validate(body, body_len) != 0) return -1;
  const size_t len = static_cast<size_t>(body_len);  // fits: checked above

  // The manifest is stored under the digest of its exact bytes.
  sha256_ctx ctx;
  unsigned char sum[32];
  char hex[kHexSize];
  sha256_init(&ctx);
  sha256_update(&ctx, body, len);
  sha256_final(&ctx, sum);
  bin_to_hex(sum, sizeof sum, hex);
  char digest[80];
  snprintf(digest, sizeof digest, "%s%s", kDigestPrefix, hex);

  char path[kPathSize];
  manifest_dir(repo_name, path, sizeof path);
  if (mkdirs(path) != 0) {
    set_error("mkdirs manifests dir failed");
    return -1;
  }
  manifest_body_path(repo_name, hex, path, sizeof path);
  if (write_file_atomic(path, body, len) != 0) {
    set_error("write manifest body failed");
    return -1;
  }
  const char *type = content_type != nullptr && content_type[0] != '\0' ? content_type
                                                                         : kDefaultManifestType;
  manifest_ct_path(repo_name, hex, path, sizeof path);
  if (write_file_atomic(path, type, strlen(type)) != 0) {
    set_error("write manifest ct failed");
    return -1;
  }
  manifest_rev_dir(repo_name, hex, path, sizeof path);
  if (mkdirs(path) != 0) {
    set_error("mkdirs revision dir failed");
    return -1;
  }
  manifest_rev_path(repo_name, hex, path, sizeof path);
  if (write_file_atomic(path, digest, kDigestLen) != 0) {
    set_error("write revision link failed");
    return -1;
  }
  if (!is_digest_ref(reference)) {
    manifest_tag_dir(repo_name, reference, path, sizeof path);
    if (mkdirs(path) != 0) {
      set_error("mkdirs tag dir failed");
      return -1;
    }
    manifest_tag_path(repo_name, reference, path, sizeof path);
    if (write_file_atomic(path, digest, kDigestLen) != 0) {
      set_error("write tag link failed");
      return -1;
    }
  }
  snprintf(out_digest, kDigestSize, "%s", digest);
  return 0;
}

const char *reg_manifest_get(const char *repo_name, const char *reference,
                             char *out_content_type, char *out_digest) {
  if (repo_name == nullptr || reference == nullptr || out_content_type == nullptr ||
      out_digest == nullptr) {
    set_error("NULL argument");
    return nullptr;
  }
  if (require_ready() != 0) return nullptr;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name");
    return nullptr;
  }
  if (bad_tag(reference)) {
    set_error("invalid tag: %s", reference);
    return nullptr;
  }
  char hex[kHexSize];
  if (manifest_resolve(repo_name, reference, hex) != 0) return nullptr;

  char path[kPathSize];
  manifest_body_path(repo_name, hex, path, sizeof path);
  // A longer body comes back cut to the buffer, without an error.
  if (read_file(path, s_result, kResultSize, nullptr) != 0) {
    set_error("manifest body not found: %s@%s", repo_name, reference);
    return nullptr;
  }
  manifest_ct_path(repo_name, hex, path, sizeof path);
  if (read_file(path, out_content_type, kTypeReadSize, nullptr) != 0 ||
      out_content_type[0] == '\0') {
    snprintf(out_content_type, 128, "%s", kDefaultManifestType);
  }
  snprintf(out_digest, kDigestSize, "%s%s", kDigestPrefix, hex);
  return s_result;
}

int reg_manifest_delete(const char *repo_name, const char *reference) {
  if (repo_name == nullptr || reference == nullptr) {
    set_error("NULL argument");
    return -1;
  }
  if (require_ready() != 0) return -1;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name");
    return -1;
  }
  if (bad_tag(reference)) {
    set_error("invalid tag: %s", reference);
    return -1;
  }
  char hex[kHexSize];
  if (manifest_resolve(repo_name, reference, hex) != 0) return -1;

  char path[kPathSize];
  if (is_digest_ref(reference)) {
    manifest_rev_path(repo_name, hex, path, sizeof path);
    remove_file(path);
  } else {
    manifest_tag_path(repo_name, reference, path, sizeof path);
    if (remove_file(path) != 0) {
      set_error("delete tag failed");
      return -1;
    }
  }
  // The manifest itself goes only when no tag names it any more.
  if (manifest_has_tag_for(repo_name, hex)) return 0;
  manifest_body_path(repo_name, hex, path, sizeof path);
  remove_file(path);
  manifest_ct_path(repo_name, hex, path, sizeof path);
  remove_file(path);
  manifest_rev_path(repo_name, hex, path, sizeof path);
  remove_file(path);
  return 0;
}

}  // extern "C"
