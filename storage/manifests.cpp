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
constexpr size_t kTypeSize = 128;      // callers' media type buffers
constexpr size_t kTypeReadSize = 127;  // read size: at most 126 bytes arrive
static_assert(kDigestLen + 1 == kDigestSize, "a digest string fills its buffer");
constexpr char kDefaultIndexType[] = "application/vnd.oci.image.index.v1+json";

bool is_digest_ref(const char *reference) {
  return strncmp(reference, kDigestPrefix, kPrefixLen) == 0;
}

// Refuses a non-empty reference that names a tag the store does not take.
// Checked before any file is touched, so no tag reaches outside its own
// directory. Records the failure.
int tag_check(const char *reference) {
  if (reference[0] == '\0' || is_digest_ref(reference) || tag_valid(reference)) return 0;
  set_error("invalid tag: %s", reference);
  return -1;
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

// The index of the first element of the array `arr` that is not an object
// with a valid "digest", or the array's size when every one is.
size_t first_bad_entry(yyjson_val *arr) {
  size_t n = yyjson_arr_size(arr);
  for (size_t i = 0; i < n; i++) {
    if (!has_valid_digest(yyjson_arr_get(arr, i))) return i;
  }
  return n;
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
  size_t bad = first_bad_entry(layers);
  if (bad < yyjson_arr_size(layers)) {
    set_error("manifest layer %zu missing valid digest", bad);
    return -1;
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
  size_t bad = first_bad_entry(list);
  if (bad < yyjson_arr_size(list)) {
    set_error("index manifest %zu missing valid digest", bad);
    return -1;
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

// The checks every operation on a repository's manifests begins with, in
// this order: an argument missing (`given` false), the store not ready, the
// repository name refused (the message names it when `show_name`). Records
// the failure.
int repo_check(bool given, const char *repo_name, bool show_name) {
  if (!given) {
    set_error("NULL argument");
    return -1;
  }
  if (require_ready() != 0) return -1;
  if (!repo_name_valid(repo_name)) {
    if (show_name)
      set_error("invalid repository name: %s", repo_name);
    else
      set_error("invalid repository name");
    return -1;
  }
  return 0;
}

// The checks both puts begin with, in the order and with the messages of
// reg_manifest_put. 0 when the arguments may be stored.
int put_args_check(const char *repo_name, const char *reference, const void *body,
                   const char *out_digest) {
  bool given = repo_name != nullptr && reference != nullptr && body != nullptr &&
               out_digest != nullptr;
  if (repo_check(given, repo_name, true) != 0) return -1;
  if (reference[0] == '\0') {
    set_error("empty reference");
    return -1;
  }
  return tag_check(reference);
}

// Whether the tag link at `path` names `digest_hex`. Only the prefix and the
// 64 digits after it are compared, so a link with a line end still counts:
// keeping a manifest too long is harmless, removing a named one is not.
bool link_names(const char *path, const char *digest_hex) {
  char link[kTagLinkRead];
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

// What a walk over a repository's tag links for one digest found.
enum class tag_walk {
  none,    // no link names the digest (or, with remove, every one is gone)
  named,   // a link names it (without remove: the walk stopped there)
  failed,  // the directory could not be read to its end, or a link that
           // names the digest could not be removed: a tag may still name it
};

// Looks at the whole tags directory, however many tags it holds, for links
// naming `digest_hex`. With `remove` each one is removed and the walk goes
// on; without, the walk stops at the first. A missing directory holds none.
tag_walk walk_tags_naming(const char *repo_name, const char *digest_hex, bool remove) {
  char tags[kPathSize];
  manifest_tags_dir(repo_name, tags, sizeof tags);
  if (!dir_exists(tags)) return tag_walk::none;
  plat_dir *d = plat_dir_open(tags);
  if (d == nullptr) return tag_walk::failed;
  char name[kNameSize];
  int is_dir = 0;
  int rc = 0;
  tag_walk result = tag_walk::none;
  while ((rc = plat_dir_next(d, name, sizeof name, &is_dir)) == 1) {
    if (!is_dir || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    char path[kPathSize];
    manifest_tag_path(repo_name, name, path, sizeof path);
    if (!link_names(path, digest_hex)) continue;
    if (!remove) {
      result = tag_walk::named;
      break;
    }
    if (remove_file(path) != 0) result = tag_walk::failed;
  }
  plat_dir_close(d);
  return rc < 0 ? tag_walk::failed : result;
}

// The stored media type of manifest `hex` into `out` (kTypeSize bytes): the
// first 126 bytes of its content-type file, or the default type when that
// file is missing, unreadable or empty.
void media_type_of(const char *repo_name, const char *hex, char *out) {
  char path[kPathSize];
  manifest_ct_path(repo_name, hex, path, sizeof path);
  if (read_file(path, out, kTypeReadSize, nullptr) != 0 || out[0] == '\0') {
    snprintf(out, kTypeSize, "%s", kDefaultManifestType);
  }
}

// The checks get, locate and delete begin with (an argument missing, the
// store not ready, the repository name, a tag the store refuses), then the
// resolution of `reference` into out_hex. Records the failure.
int checked_resolve(bool given, const char *repo_name, const char *reference, char *out_hex) {
  if (repo_check(given, repo_name, false) != 0 || tag_check(reference) != 0) return -1;
  return manifest_resolve(repo_name, reference, out_hex);
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
  char link[kTagLinkRead];
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
  // Every tag is looked at: one missed would let a delete remove a manifest
  // that tag still names. A tags directory that cannot be read to its end
  // may hold such a tag, so it counts as naming the digest and the manifest
  // is kept.
  return walk_tags_naming(repo_name, digest_hex, false) != tag_walk::none ? 1 : 0;
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
  bool given = repo_name != nullptr && body != nullptr && out_missing != nullptr;
  if (repo_check(given, repo_name, true) != 0) return -1;
  return index_scan(repo_name, body, body_len, out_missing, nullptr);
}

const char *reg_manifest_get(const char *repo_name, const char *reference,
                             char *out_content_type, char *out_digest) {
  bool given = repo_name != nullptr && reference != nullptr && out_content_type != nullptr &&
               out_digest != nullptr;
  char hex[kHexSize];
  if (checked_resolve(given, repo_name, reference, hex) != 0) return nullptr;

  char path[kPathSize];
  manifest_body_path(repo_name, hex, path, sizeof path);
  // A longer body comes back cut to the buffer, without an error.
  if (read_file(path, s_result, kResultSize, nullptr) != 0) {
    set_error("manifest body not found: %s@%s", repo_name, reference);
    return nullptr;
  }
  media_type_of(repo_name, hex, out_content_type);
  snprintf(out_digest, kDigestSize, "%s%s", kDigestPrefix, hex);
  return s_result;
}

int reg_manifest_delete(const char *repo_name, const char *reference) {
  bool given = repo_name != nullptr && reference != nullptr;
  char hex[kHexSize];
  if (checked_resolve(given, repo_name, reference, hex) != 0) return -1;

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
  bool given = repo_name != nullptr && reference != nullptr && out_path != nullptr &&
               path_size > 0 && out_size != nullptr && out_content_type != nullptr &&
               out_digest != nullptr;
  char hex[kHexSize];
  if (checked_resolve(given, repo_name, reference, hex) != 0) return -1;

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
  char type[kTypeSize];
  media_type_of(repo_name, hex, type);
  memcpy(out_path, path, len + 1);
  *out_size = size;
  memcpy(out_content_type, type, sizeof type);
  snprintf(out_digest, kDigestSize, "%s%s", kDigestPrefix, hex);
  return 0;
}

int reg_manifest_delete_all(const char *repo_name, const char *digest) {
  if (repo_check(repo_name != nullptr && digest != nullptr, repo_name, false) != 0) return -1;
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
  if (walk_tags_naming(repo_name, hex, true) == tag_walk::failed) {
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
