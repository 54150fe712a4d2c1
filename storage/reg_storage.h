/*
 * reg_storage.h - the registry's file-system store.
 *
 * One directory tree below a storage root holds everything:
 *   blobs\sha256\<2 hex>\<64 hex>        content-addressed blobs
 *   uploads\<upload id>.part             upload sessions
 *   repositories\<name>\_manifests\...   manifests, revision and tag links
 *   config.json                          written once, never read
 *
 * Return contract: operations returning int give 0 on success and -1 on
 * failure; those returning a pointer give null on failure (reg_blob_exists
 * answers 1, 0 or -1; reg_blob_get_size a size or -1). A failure records its
 * text, read with reg_storage_last_error(); a success leaves that text as it
 * was. Every operation tests its arguments for null first, then that the
 * store is initialised, then the form of names, identifiers and digests.
 *
 * Forms: a digest is "sha256:" and 64 lowercase hex digits (71 characters,
 * 72-byte buffers); an upload id is 36 lowercase hex digits and hyphens in
 * groups 8-4-4-4-12 (37-byte buffers); a repository name is 1 to 255 bytes of
 * ASCII letters, digits, "-", "_", ".", "/" and backslash, without "..";
 * a reference is a digest when it begins with "sha256:", else a tag. A tag
 * is [A-Za-z0-9_] followed by at most 127 of [A-Za-z0-9._-]: the manifest
 * operations refuse any other non-empty tag with "invalid tag: <tag>"
 * before they touch a file, so no tag reaches outside its own directory.
 *
 * Ownership: the texts returned by reg_storage_last_error, reg_manifest_get,
 * reg_tags_list_json, reg_catalog_json, reg_tags_page_json,
 * reg_catalog_page_json and reg_storage_get_stats_json are borrowed. All but
 * the first share one 1 MiB result buffer: each call overwrites what the
 * previous one returned. Copy what you keep.
 *
 * Not thread-safe (process-wide state). Processes may share one tree.
 */
#ifndef REG_STORAGE_H
#define REG_STORAGE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- context ------------------------------------------------------------ */

/* Makes the tree below `root` (one trailing backslash dropped; at most 3499
 * characters), writes config.json when absent, seeds the upload-id
 * generator and empties the last-error text. May be called again; a null or
 * empty root fails and leaves the current state as it was. */
int reg_storage_init(const char *root);
/* Forgets the root; the store is not ready until the next init. */
void reg_storage_cleanup(void);
/* The last failure's text, "" when none since the last successful init.
 * Never null. */
const char *reg_storage_last_error(void);

/* ---- upload sessions ---------------------------------------------------- */

/* Starts a session: writes its new id (36 chars + NUL) into out_upload_uuid
 * (at least 37 bytes) and creates its empty session file. Never empties an
 * existing session. */
int reg_blob_start_upload(char *out_upload_uuid);
/* Appends `len` bytes to the session (creating its file when missing). */
int reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t len);
/* Hashes the session, compares with `expected_digest`, and moves the file
 * into the blob store (or discards it when that blob is already stored).
 * On success out_digest (at least 72 bytes) gets the digest. A mismatch
 * removes the session. */
int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                           char *out_digest);
/* Removes the session file; an unknown well-formed id counts as cancelled. */
int reg_blob_cancel_upload(const char *upload_uuid);

/* ---- blob queries --------------------------------------------------------- */

/* 1 when the blob is stored, 0 when not, -1 on a bad argument. */
int reg_blob_exists(const char *digest);
/* The blob's size in bytes, -1 when absent (no text recorded) or on error. */
int64_t reg_blob_get_size(const char *digest);
/* Copies the blob file's path into `out` (path and NUL must fit out_size). */
int reg_blob_get_filepath(const char *digest, char *out, size_t out_size);
/* Removes the blob, and its shard directory when that becomes empty. */
int reg_blob_delete(const char *digest);

/* ---- manifests ---------------------------------------------------------- */

/* Validates `body` as an image manifest (a JSON object with a "config"
 * object holding a valid "digest", and, if present, a "layers" array of
 * objects with valid "digest"s), stores it under the SHA-256 of its bytes
 * with its media type (content_type, or the Docker v2 manifest type when
 * null or empty) and a revision link, and points the tag at it when
 * `reference` is a tag. out_digest (at least 72 bytes) gets the digest. */
int reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                     uint64_t body_len, const char *content_type, char *out_digest);
/* The stored body of `reference` (read into the shared result buffer, at
 * most 1048575 bytes), its media type into out_content_type (at least 128
 * bytes) and its digest into out_digest (at least 72 bytes). Null when the
 * reference does not resolve or the body is missing. */
const char *reg_manifest_get(const char *repo_name, const char *reference,
                             char *out_content_type, char *out_digest);
/* Removes a tag link, or a revision link for a digest reference; the body
 * goes too once no tag names it. Every tag of the repository is looked at,
 * and a tags directory that cannot be read counts as naming the manifest,
 * which then stays. */
int reg_manifest_delete(const char *repo_name, const char *reference);

/* Checks that every blob an image manifest names (its config, then each
 * layer, in document order) is stored. 0 when all are; 1 when one is not,
 * with the first missing digest written into out_missing (at least 72
 * bytes); -1 when the body is not an image manifest by the rule of
 * reg_manifest_put (same messages) or on a bad argument. */
int reg_manifest_check_blobs(const void *body, uint64_t body_len, char *out_missing);
/* Checks that every manifest an image index names (each "manifests" entry's
 * "digest") is stored in the repository. 0 when all are; 1 when one is not,
 * with the first missing digest written into out_missing (at least 72
 * bytes); -1 when the body is not an image index (see reg_index_put) or on a
 * bad argument. */
int reg_index_check_manifests(const char *repo_name, const void *body, uint64_t body_len,
                              char *out_missing);
/* Stores an image index (manifest list) like reg_manifest_put stores a
 * manifest: same files, same atomic writes, same tag rule, digest reference
 * not examined. The body must be a JSON object whose "manifests" is an array
 * of objects, each with a valid "digest" naming a manifest already stored in
 * this repository (an empty array passes). Media type: content_type, or the
 * OCI image index type when null or empty. out_digest (at least 72 bytes)
 * gets the digest. */
int reg_index_put(const char *repo_name, const char *reference, const void *body,
                  uint64_t body_len, const char *content_type, char *out_digest);
/* Resolves `reference` to its stored body file, for bodies of any size: the
 * file's path into out_path (path and NUL must fit path_size), its size in
 * bytes into *out_size, the media type into out_content_type (at least 128
 * bytes; at most 126 characters, the default type when none is stored) and
 * the digest into out_digest (at least 72 bytes). Fails as reg_manifest_get
 * does, and with "path buffer too small". Outputs are written only on
 * success. */
int reg_manifest_locate(const char *repo_name, const char *reference, char *out_path,
                        size_t path_size, int64_t *out_size, char *out_content_type,
                        char *out_digest);
/* Removes the manifest `digest` from the repository together with every tag
 * that names it (the whole tags directory is read, however many tags it
 * holds): the tag links first, then the revision link, body and media type.
 * Fails with "manifest not found: %s@%s" when no body of that digest is
 * stored, and with "delete tag failed" (body kept) when a tag link naming it
 * cannot be removed or the tags directory cannot be read to its end. */
int reg_manifest_delete_all(const char *repo_name, const char *digest);
/* 1 when the repository exists (its _manifests directory is there), 0 when
 * not, -1 on a null, invalid name or when not initialised. */
int reg_repository_exists(const char *repo_name);

/* ---- upload session state ------------------------------------------------- */

/* The number of bytes the session holds so far; -1 when the id is null or
 * malformed, or the session does not exist ("upload not found: %s"). */
int64_t reg_upload_get_size(const char *upload_uuid);

/* ---- listings and statistics -------------------------------------------- */

/* {"name":"<repo>","tags":[...]} with the repository's tags (tag
 * directories whose link can be read, among the first 512 entries of its
 * tags directory) sorted by byte value; an unknown repository has an empty
 * list. */
const char *reg_tags_list_json(const char *repo_name);
/* {"repositories":[...]}: the directories directly below the repository
 * area (team/app is listed as team; at most the first 512), sorted by byte
 * value, those after `last` (null or empty: from the start), at most
 * `page_size` of them when page_size > 0. */
const char *reg_catalog_json(int page_size, const char *last);
/* Paged listings over whole directories, however many names they hold.
 * A page holds the names that sort after `last` (null or empty: from the
 * start), at most n of them: n above REG_PAGE_MAX counts as REG_PAGE_MAX, 0
 * gives an empty page, a negative n fails with "invalid page size". When
 * more names follow the page, its last name is written into out_next
 * (next_size at least REG_NEXT_SIZE bytes), else out_next gets "". The
 * document is written into the shared result buffer. A directory that
 * exists but cannot be read to its end fails the call rather than give a
 * page with names silently missing. */
#define REG_PAGE_MAX 1000
#define REG_NEXT_SIZE 256
/* {"name":"<repo>","tags":[...]}: the repository's tags (tag directories
 * with a readable link whose names are valid tags: [A-Za-z0-9_] then up to
 * 127 of [A-Za-z0-9._-]) sorted by byte value. An unknown repository has an
 * empty list (see reg_repository_exists). */
const char *reg_tags_page_json(const char *repo_name, int n, const char *last, char *out_next,
                               size_t next_size);
/* {"repositories":[...]}: every repository by its full name (team/app), at
 * any depth below the repository area: a repository is a directory holding
 * _manifests. Directory names that cannot be part of a repository name are
 * skipped, and _manifests directories are never walked into. */
const char *reg_catalog_page_json(int n, const char *last, char *out_next, size_t next_size);
/* {"version":"1.0.0","repositories":N,"tags":N,"blobs":N,"blob_bytes":N,
 *  "active_uploads":N,"upload_bytes":N}; null when not initialised. */
const char *reg_storage_get_stats_json(void);

#ifdef __cplusplus
}
#endif

#endif
