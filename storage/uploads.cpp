// Blob upload sessions. A session is nothing but its file in the upload area
// (<root>\uploads\<id>.part); finishing hashes that file and moves it into
// the blob store under its digest, or drops it when that content is stored.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "platform.h"
#include "sha256.h"
#include "storage_internal.h"

namespace regst {

namespace {

// How many fresh identifiers a start tries when the name it made is taken.
constexpr int kStartAttempts = 8;
// The actual digest is formatted into this; a digest string needs 72.
constexpr size_t kActualSize = 80;
static_assert(kActualSize >= kDigestSize, "the actual digest fits its buffer");

}  // namespace

int session_path_checked(const char *upload_uuid, char *path) {
  if (require_ready() != 0) return -1;
  if (!uuid_valid(upload_uuid)) {
    set_error("invalid upload uuid");
    return -1;
  }
  upload_path_for_uuid(upload_uuid, path, kPathSize);
  return 0;
}

}  // namespace regst

using namespace regst;

extern "C" {

int reg_blob_start_upload(char *out_upload_uuid) {
  if (out_upload_uuid == nullptr) {
    set_error("out_upload_uuid is NULL");
    return -1;
  }
  if (require_ready() != 0) return -1;

  // Exclusive create: an existing session of the same name is never
  // emptied; the start takes the next identifier instead.
  char path[kPathSize];
  for (int attempt = 1;; attempt++) {
    uuid_make(out_upload_uuid);
    upload_path_for_uuid(out_upload_uuid, path, sizeof path);
    FILE *f = plat_fopen(path, "wbx");
    if (f != nullptr) {
      fclose(f);
      return 0;
    }
    if (errno != EEXIST || attempt == kStartAttempts) break;
  }
  set_error("cannot create upload file: %s", path);
  return -1;
}

int reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t len) {
  if (upload_uuid == nullptr || data == nullptr) {
    set_error("upload_uuid/data is NULL");
    return -1;
  }
  char path[kPathSize];
  if (session_path_checked(upload_uuid, path) != 0) return -1;
  FILE *f = plat_fopen(path, "ab");
  if (f == nullptr) {
    set_error("upload not found: %s", upload_uuid);
    return -1;
  }
  size_t written = len ? fwrite(data, 1, len, f) : 0;
  int err = ferror(f);
  // Buffered bytes reach the file only when the stream is flushed; a close
  // that fails has lost them, so it fails the append too.
  if (fclose(f) != 0) err = 1;
  if (err || written != len) {
    set_error("write error appending chunk");
    return -1;
  }
  return 0;
}

int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                           char *out_digest) {
  if (upload_uuid == nullptr || expected_digest == nullptr || out_digest == nullptr) {
    set_error("NULL argument");
    return -1;
  }
  char session[kPathSize];
  if (session_path_checked(upload_uuid, session) != 0) return -1;
  if (!digest_valid(expected_digest)) {
    set_error("invalid expected digest");
    return -1;
  }
  if (!file_exists(session)) {
    set_error("upload not found: %s", upload_uuid);
    return -1;
  }

  uint8_t md[32];
  if (sha256_file(session, md) != 0) {
    set_error("hashing upload failed");
    return -1;
  }
  char hex[kHexSize];
  bin_to_hex(md, sizeof md, hex);
  char actual[kActualSize];
  snprintf(actual, sizeof actual, "sha256:%s", hex);
  if (strcmp(actual, expected_digest) != 0) {
    set_error("digest mismatch: expected %s, got %s", expected_digest, actual);
    remove_file(session);
    return -1;
  }

  char blob[kPathSize];
  blob_path_for_digest(expected_digest, blob, sizeof blob);
  if (file_exists(blob)) {
    // Already stored: the blob is left as it is and the session goes.
    remove_file(session);
  } else {
    char shard[kPathSize];
    snprintf(shard, sizeof shard, "%s/blobs/sha256/%c%c", s_root, expected_digest[7],
             expected_digest[8]);
    if (mkdirs(shard) != 0) {
      set_error("mkdirs blob dir failed");
      return -1;
    }
    // Never replaces a stored blob. Another session with the same content
    // may have stored it since the test above; its file holds exactly these
    // bytes, because the name is their digest, so that counts as stored.
    if (plat_rename_noreplace(session, blob) != 0) {
      if (!file_exists(blob)) {
        set_error("rename to CAS failed: %s", blob);
        return -1;
      }
      remove_file(session);
    }
  }

  snprintf(out_digest, kDigestSize, "%s", expected_digest);
  return 0;
}

int reg_blob_cancel_upload(const char *upload_uuid) {
  if (upload_uuid == nullptr) {
    set_error("upload_uuid is NULL");
    return -1;
  }
  char path[kPathSize];
  if (session_path_checked(upload_uuid, path) != 0) return -1;
  if (remove_file(path) != 0) {
    set_error("cancel failed");
    return -1;
  }
  return 0;
}

int64_t reg_upload_get_size(const char *upload_uuid) {
  if (upload_uuid == nullptr) {
    set_error("upload_uuid is NULL");
    return -1;
  }
  char path[kPathSize];
  if (session_path_checked(upload_uuid, path) != 0) return -1;
  // One attribute query; a directory of that name is no session.
  int is_dir = 0;
  int64_t size = 0;
  if (plat_attr(path, &is_dir, &size) != 0 || is_dir) {
    set_error("upload not found: %s", upload_uuid);
    return -1;
  }
  return size;
}

}  // extern "C"
