// Blob store queries: presence, size, file path and removal of stored blobs.
// Presence and size come from the file's attributes; no blob is ever opened.
#include <stdio.h>
#include <string.h>

#include "platform.h"
#include "storage_internal.h"

namespace regst {

namespace {

// The checks every blob query starts with: a digest, a ready store, a
// well-formed digest. Fills `path` with the blob's file path on success.
int blob_checked_path(const char *digest, char *path, size_t size) {
  if (digest == nullptr) {
    set_error("digest is NULL");
    return -1;
  }
  if (require_ready() != 0) return -1;
  if (!digest_valid(digest)) {
    set_error("invalid digest");
    return -1;
  }
  blob_path_for_digest(digest, path, size);
  return 0;
}

}  // namespace

}  // namespace regst

using namespace regst;

extern "C" {

int reg_blob_exists(const char *digest) {
  char path[kPathSize];
  if (blob_checked_path(digest, path, sizeof path) != 0) return -1;
  return file_exists(path);
}

int64_t reg_blob_get_size(const char *digest) {
  char path[kPathSize];
  if (blob_checked_path(digest, path, sizeof path) != 0) return -1;
  // An absent blob answers -1 without a message of its own.
  return file_size(path);
}

int reg_blob_get_filepath(const char *digest, char *out, size_t out_size) {
  if (digest == nullptr || out == nullptr || out_size == 0) {
    set_error("NULL argument");
    return -1;
  }
  char path[kPathSize];
  if (blob_checked_path(digest, path, sizeof path) != 0) return -1;
  if (!file_exists(path)) {
    set_error("blob not found: %s", digest);
    return -1;
  }
  size_t len = strlen(path);
  if (len >= out_size) {
    set_error("path buffer too small");
    return -1;
  }
  memcpy(out, path, len + 1);
  return 0;
}

int reg_blob_delete(const char *digest) {
  char path[kPathSize];
  if (blob_checked_path(digest, path, sizeof path) != 0) return -1;
  if (!file_exists(path)) {
    set_error("blob not found: %s", digest);
    return -1;
  }
  if (remove_file(path) != 0) {
    set_error("remove failed");
    return -1;
  }
  // The shard goes with its last blob: the platform removes only an empty
  // directory, so a shard that still holds other blobs stays.
  char shard[kPathSize];
  snprintf(shard, sizeof shard, "%s/blobs/sha256/%c%c", s_root, digest[7], digest[8]);
  plat_rmdir(shard);
  return 0;
}

}  // extern "C"
