// storage_internal.h - what the storage library's source files share.
//
// Not part of the interface: endpoint programs use reg_storage.h only. The
// names live in namespace regst so that programs linking the library keep
// short names like mkdirs or path_join for themselves.
//
// Helpers fail silently through their result, and the public operation that
// called a helper words the message. Only set_error, require_ready and the
// check that opens the session operations (session_path_checked) write the
// last-error text.
#ifndef REG_STORAGE_INTERNAL_H
#define REG_STORAGE_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "reg_storage.h"

#if defined(__GNUC__)
#define REGST_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define REGST_PRINTF(f, a)
#endif

namespace regst {

constexpr size_t kPathSize = 4096;     // every path buffer
constexpr size_t kRootSize = 3500;     // s_root, at most 3499 characters
constexpr size_t kErrorSize = 1024;    // s_error, at most 1023 characters
constexpr size_t kResultSize = 1048576;  // s_result, the shared result buffer
constexpr size_t kDigestSize = 72;     // "sha256:" + 64 hex + NUL
constexpr size_t kHexSize = 65;        // 64 hex + NUL
constexpr size_t kUuidSize = 37;       // 36 characters + NUL
constexpr int kListMax = 512;          // entries one listing holds
constexpr size_t kNameSize = 512;      // a listed name, at most 511 characters
constexpr const char *kDefaultManifestType =
    "application/vnd.docker.distribution.manifest.v2+json";

// ---- process-wide state (context.cpp) ----
extern char s_root[kRootSize];
extern int s_ready;
extern char s_error[kErrorSize];
extern char s_result[kResultSize];
extern uint32_t s_seed;

// ---- context and file helpers (context.cpp) ----
// Formats the last-error text into s_error, cut at 1023 characters.
void set_error(const char *fmt, ...) REGST_PRINTF(1, 2);
// 0 when the store is initialised; otherwise records "not initialized -
// call reg_storage_init first" and gives -1.
int require_ready();
// first part, a backslash, second part; cut at size; the full length.
int path_join(char *out, size_t size, const char *a, const char *b);
// A malloc'ed copy the caller frees; null for null or when memory runs out.
char *xstrdup(const char *s);
// Creates the directory and every missing parent (paths of 1 to 4095
// characters). 0 when every level exists afterwards; a regular file standing
// at the last level also gives 0 (what is later made below it fails).
int mkdirs(const char *path);
// 1 when the path names an entry that is not a directory, else 0.
int file_exists(const char *path);
// 1 when the path names a directory, else 0.
int dir_exists(const char *path);
// The entry's size in bytes (a directory's size attribute too); -1 when its
// attributes cannot be read.
int64_t file_size(const char *path);
// At most cap - 1 bytes from the file's start and a NUL after them, the
// count in *out_len when non-null (a longer file is cut silently). -1 when
// the file cannot be opened or read.
int read_file(const char *path, char *buf, size_t cap, size_t *out_len);
// Creates or empties the file and writes all `len` bytes. -1 on failure,
// which may leave part of the bytes in the file.
int write_file(const char *path, const void *data, size_t len);
// Writes through a temporary file in the same directory and renames it over
// `path`, so readers see the old or the new content, never a part. No
// temporary file remains after a failure.
int write_file_atomic(const char *path, const void *data, size_t len);
// 0 when no file of that name is left (a directory is left alone and gives
// 0 too); -1 when removing an existing file failed.
int remove_file(const char *path);

struct dir_entry {
  char name[kNameSize];  // cut to kNameSize - 1 characters
  int is_dir;
};
struct dir_listing {
  dir_entry entries[kListMax];
  int count;      // entries filled
  int truncated;  // 1 when the directory held more than kListMax entries
};
// The directory's entries in the platform's order, "." and ".." left out.
// -1 (count 0) when the path is no directory or cannot be enumerated.
int list_dir(const char *path, dir_listing *out);

// ---- digests and upload identifiers (ids.cpp) ----
// Writes 2 * count lowercase hex digits, most significant half first, and a
// NUL into out.
void bin_to_hex(const unsigned char *bytes, size_t count, char *out);
// 1 when s is "sha256:" and 64 lowercase hex digits, else 0 (null too).
int digest_valid(const char *s);
// root\blobs\sha256\<first two digits>\<64 digits>, cut at size. The digest is
// not checked: callers validate it first.
void blob_path_for_digest(const char *digest, char *out, size_t size);
// One xorshift step (shifts 13, 17, 5); 0 stays 0.
void rng_next(uint32_t *state);
// Writes a new upload id (36 characters and a NUL) made from s_seed, which
// it advances, so each call gives the next id.
void uuid_make(char *out);
// 1 when s is 8-4-4-4-12 lowercase hex digits joined by hyphens, else 0.
int uuid_valid(const char *s);
// root\uploads\<uuid>.part, cut at size. The id is not checked.
void upload_path_for_uuid(const char *uuid, char *out, size_t size);

// ---- upload sessions (uploads.cpp) ----
// What every operation on an existing session checks after its own null
// test: a ready store, then a well-formed identifier ("invalid upload
// uuid"). 0 with the session file's path in `path` (kPathSize bytes).
int session_path_checked(const char *upload_uuid, char *path);

// ---- names, tags and manifest paths (paths.cpp); manifests (manifests.cpp) ----
constexpr size_t kTagLinkRead = 128;  // buffer a tag link is read into
int repo_name_valid(const char *name);
int tag_valid(const char *tag);
void repos_dir(char *out, size_t out_size);
void manifest_dir(const char *repo_name, char *out, size_t out_size);
void manifest_tags_dir(const char *repo_name, char *out, size_t out_size);
// manifest dir, tags, tag, current: the directory of a tag's link.
void manifest_tag_dir(const char *repo_name, const char *tag, char *out, size_t out_size);
void manifest_tag_path(const char *repo_name, const char *tag, char *out, size_t out_size);
void manifest_body_path(const char *repo_name, const char *digest_hex, char *out,
                        size_t out_size);
void manifest_ct_path(const char *repo_name, const char *digest_hex, char *out,
                      size_t out_size);
void manifest_rev_dir(const char *repo_name, const char *digest_hex, char *out,
                      size_t out_size);
void manifest_rev_path(const char *repo_name, const char *digest_hex, char *out,
                       size_t out_size);
// Whether the tag's link file can be read, whatever it holds: what makes a
// tag directory a tag for the listings and the statistics.
bool tag_link_readable(const char *repo_name, const char *tag);
int manifest_resolve(const char *repo_name, const char *reference, char *out_hex);
int manifest_has_tag_for(const char *repo_name, const char *digest_hex);

// ---- listings (listings.cpp) ----
size_t json_escape_append(char *dst, size_t room, const char *src);
int str_cmp(const char *a, const char *b);
void sort_str(char **items, int count);
// Writes `head` (raw JSON), then names[0..count) as quoted, escaped strings
// separated by commas, then "]}", into buf of capacity cap. The first name
// that would not fit together with the closing "]}" and NUL ends the list,
// so the text is always whole JSON, cut before a name and never inside one.
// Returns how many names went in, or -1 when not even head and "]}" fit
// (buf then holds "" when cap > 0).
int json_write_name_list(char *buf, size_t cap, const char *head, char *const *names,
                         int count);

// ---- statistics (stats.cpp) ----
int count_repos();
int count_tags();
int64_t count_blobs(int *out_count);
int count_uploads(int64_t *out_bytes);

}  // namespace regst

#endif
