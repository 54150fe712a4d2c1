// Manifest store: manifest put, get and delete (the paths and the name and
// tag rules are in paths.cpp).
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

constexpr char kDigestPrefix[] = "sha256:";
constexpr size_t kPrefixLen = sizeof kDigestPrefix - 1;
constexpr size_t kDigestLen = kPrefixLen + 64;  // a link's whole content
constexpr size_t kLinkReadSize = 128;           // room a tag link is read into
constexpr size_t kTypeReadSize = 127;           // read size of a media type
static_assert(kDigestLen + 1 == kDigestSize, "a digest string fills its buffer");
constexpr char kDefaultIndexType[] = "application/vnd.oci.image.index.v1+json";

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

// Parses `body` as one JSON document. Flags 0: strict standard JSON,
// nothing but white space after the root. Not in situ, so the caller's bytes
// stay as they are. Records the failure.
doc_ptr parse_body(const void *body, uint64_t body_len) {
  if (body_len > SIZE_MAX) {
    set_error("manifest JSON parse failed");
    return nullptr;
  }
  doc_ptr doc(yyjson_read(static_cast<const char *>(body), static_cast<size_t>(body_len), 0));
  if (!doc) set_error("manifest JSON parse failed");
  return doc;
}

// The root of a parsed body when it is an object; records the failure.
yyjson_val *object_root(yyjson_doc *doc) {
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (yyjson_is_obj(root)) return root;
  set_error("manifest must be a JSON object");
  return nullptr;
}

// Checks that `root` is an image manifest: its "config" is an object with a
// valid "digest" and its "layers", when present, an array of such objects.
// Records the failure.
int manifest_shape_check(yyjson_val *root) {
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

// Checks that `body` is an image manifest. Records the failure.
int manifest_validate(const void *body, uint64_t body_len) {
  doc_ptr doc = parse_body(body, body_len);
  if (!doc) return -1;
  yyjson_val *root = object_root(doc.get());
  if (root == nullptr) return -1;
  return manifest_shape_check(root);
}

// Checks that `root` is an image index: its "manifests" is an array of
// objects, each with a valid "digest". Records the failure.
int index_shape_check(yyjson_val *root) {
  yyjson_val *list = yyjson_obj_get(root, "manifests");
  if (!yyjson_is_arr(list)) {
    set_error("index manifests must be an array");
    return -1;
  }
  size_t n = yyjson_arr_size(list);
  for (size_t i = 0; i < n; i++) {
    if (!has_valid_digest(yyjson_arr_get(list, i))) {
      set_error("index manifest %zu missing valid digest", i);
      return -1;
    }
  }
  return 0;
}

// The digest text of an element that passed a shape check.
const char *digest_of(yyjson_val *obj) { return yyjson_get_str(yyjson_obj_get(obj, "digest")); }

bool blob_stored(const char *digest) {
  char path[kPathSize];
  blob_path_for_digest(digest, path, sizeof path);
  return file_exists(path) != 0;
}

bool manifest_stored(const char *repo_name, const char *digest) {
  char path[kPathSize];
  manifest_body_path(repo_name, digest + kPrefixLen, path, sizeof path);
  return file_exists(path) != 0;
}

// Parses and checks an image index, and finds the first manifest it names
// that the repository does not hold. 0 when all are stored; 1 with that
// digest in out_missing (and its position in *out_index when non-null); -1
// when the body is no index (failure recorded).
int index_scan(const char *repo_name, const void *body, uint64_t body_len, char *out_missing,
               size_t *out_index) {
  doc_ptr doc = parse_body(body, body_len);
  if (!doc) return -1;
  yyjson_val *root = object_root(doc.get());
  if (root == nullptr || index_shape_check(root) != 0) return -1;
  yyjson_val *list = yyjson_obj_get(root, "manifests");
  size_t n = yyjson_arr_size(list);
  for (size_t i = 0; i < n; i++) {
    const char *d = digest_of(yyjson_arr_get(list, i));
    if (!manifest_stored(repo_name, d)) {
      snprintf(out_missing, kDigestSize, "%s", d);
      if (out_index != nullptr) *out_index = i;
      return 1;
    }
  }
  return 0;
}

// The checks both puts begin with, in the order and with the messages of
// reg_manifest_put. 0 when the arguments may be stored.
int put_args_check(const char *repo_name, const char *reference, const void *body,
                   const char *out_digest) {
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

// Stores a body that passed its checks: the body file, its media type and
// its revision link under the digest of its exact bytes, then the tag link
// when `reference` is a tag. Every file is written atomically. Records the
// failure.
int store_manifest(const char *repo_name, const char *reference, const void *body,
                   uint64_t body_len, const char *type, char *out_digest) {
  const size_t len = static_cast<size_t>(body_len);  // fits: the parse checked it

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

// Removes every tag link of the repository that names `digest_hex`,
// walking the whole tags directory. -1 when a link cannot be removed or the
// directory cannot be read to its end: a tag may then still name the
// manifest, which must stay.
int remove_tags_for(const char *repo_name, const char *digest_hex) {
  char tags[kPathSize];
  manifest_tags_dir(repo_name, tags, sizeof tags);
  if (!dir_exists(tags)) return 0;
  plat_dir *d = plat_dir_open(tags);
  if (d == nullptr) return -1;
  char name[kNameSize];
  int is_dir = 0;
  int rc = 0;
  int failed = 0;
  while ((rc = plat_dir_next(d, name, sizeof name, &is_dir)) == 1) {
    if (!is_dir || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    char path[kPathSize];
    manifest_tag_path(repo_name, name, path, sizeof path);
    if (link_names(path, digest_hex) && remove_file(path) != 0) failed = 1;
  }
  plat_dir_close(d);
  return rc < 0 || failed ? -1 : 0;
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
  if (put_args_check(repo_name, reference, body, out_digest) != 0) return -1;
  if (manifest_validate(body, body_len) != 0) return -1;
  const char *type = content_type != nullptr && content_type[0] != '\0' ? content_type
                                                                         : kDefaultManifestType;
  return store_manifest(repo_name, reference, body, body_len, type, out_digest);
}

int reg_index_put(const char *repo_name, const char *reference, const void *body,
                  uint64_t body_len, const char *content_type, char *out_digest) {
  if (put_args_check(repo_name, reference, body, out_digest) != 0) return -1;
  char missing[kDigestSize];
  size_t at = 0;
  int rc = index_scan(repo_name, body, body_len, missing, &at);
  if (rc < 0) return -1;
  if (rc > 0) {
    set_error("index manifest %zu not stored: %s", at, missing);
    return -1;
  }
  const char *type = content_type != nullptr && content_type[0] != '\0' ? content_type
                                                                         : kDefaultIndexType;
  return store_manifest(repo_name, reference, body, body_len, type, out_digest);
}

int reg_manifest_check_blobs(const void *body, uint64_t body_len, char *out_missing) {
  if (body == nullptr || out_missing == nullptr) {
    set_error("NULL argument");
    return -1;
  }
  if (require_ready() != 0) return -1;
  doc_ptr doc = parse_body(body, body_len);
  if (!doc) return -1;
  yyjson_val *root = object_root(doc.get());
  if (root == nullptr || manifest_shape_check(root) != 0) return -1;
  // Config first, then the layers in order: the first one missing is named.
  yyjson_val *config = yyjson_obj_get(root, "config");
  const char *d = digest_of(config);
  if (!blob_stored(d)) {
    snprintf(out_missing, kDigestSize, "%s", d);
    return 1;
  }
  yyjson_val *layers = yyjson_obj_get(root, "layers");
  size_t n = yyjson_is_arr(layers) ? yyjson_arr_size(layers) : 0;
  for (size_t i = 0; i < n; i++) {
    d = digest_of(yyjson_arr_get(layers, i));
    if (!blob_stored(d)) {
      snprintf(out_missing, kDigestSize, "%s", d);
      return 1;
    }
  }
  return 0;
}

int reg_index_check_manifests(const char *repo_name, const void *body, uint64_t body_len,
                              char *out_missing) {
  if (repo_name == nullptr || body == nullptr || out_missing == nullptr) {
    set_error("NULL argument");
    return -1;
  }
  if (require_ready() != 0) return -1;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name: %s", repo_name);
    return -1;
  }
  return index_scan(repo_name, body, body_len, out_missing, nullptr);
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

int reg_manifest_locate(const char *repo_name, const char *reference, char *out_path,
                        size_t path_size, int64_t *out_size, char *out_content_type,
                        char *out_digest) {
  if (repo_name == nullptr || reference == nullptr || out_path == nullptr || path_size == 0 ||
      out_size == nullptr || out_content_type == nullptr || out_digest == nullptr) {
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
  manifest_body_path(repo_name, hex, path, sizeof path);
  int64_t size = file_size(path);
  if (size < 0 || !file_exists(path)) {
    set_error("manifest body not found: %s@%s", repo_name, reference);
    return -1;
  }
  size_t len = strlen(path);
  if (len >= path_size) {
    set_error("path buffer too small");
    return -1;
  }
  char type[128];
  char ct[kPathSize];
  manifest_ct_path(repo_name, hex, ct, sizeof ct);
  if (read_file(ct, type, kTypeReadSize, nullptr) != 0 || type[0] == '\0') {
    snprintf(type, sizeof type, "%s", kDefaultManifestType);
  }
  memcpy(out_path, path, len + 1);
  *out_size = size;
  snprintf(out_content_type, 128, "%s", type);
  snprintf(out_digest, kDigestSize, "%s%s", kDigestPrefix, hex);
  return 0;
}

int reg_manifest_delete_all(const char *repo_name, const char *digest) {
  if (repo_name == nullptr || digest == nullptr) {
    set_error("NULL argument");
    return -1;
  }
  if (require_ready() != 0) return -1;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name");
    return -1;
  }
  if (!digest_valid(digest)) {
    set_error("invalid digest reference");
    return -1;
  }
  const char *hex = digest + kPrefixLen;
  char path[kPathSize];
  manifest_body_path(repo_name, hex, path, sizeof path);
  if (!file_exists(path)) {
    set_error("manifest not found: %s@%s", repo_name, digest);
    return -1;
  }
  // Tags first: no tag may be left naming a body that is gone.
  if (remove_tags_for(repo_name, hex) != 0) {
    set_error("delete tag failed");
    return -1;
  }
  manifest_rev_path(repo_name, hex, path, sizeof path);
  remove_file(path);
  manifest_body_path(repo_name, hex, path, sizeof path);
  remove_file(path);
  manifest_ct_path(repo_name, hex, path, sizeof path);
  remove_file(path);
  return 0;
}

}  // extern "C"
