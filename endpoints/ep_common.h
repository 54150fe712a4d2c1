/*
 * ep_common.h - what the endpoint programs share beyond the registry front.
 *
 * Bringing the storage up, splitting a request path at the last marker (so
 * that a repository name may itself hold "manifests" or "blobs" as a
 * component), the name, tag and digest rules the endpoints answer 400 by,
 * the reply head every success starts with, error replies that carry one
 * more header line, the page-size parameter and listing pages, and sending
 * a stored file out as the reply body.
 *
 * Error replies end the process with exit status 0, like oci_send_error,
 * whose reply format they share.
 */
#ifndef EP_COMMON_H
#define EP_COMMON_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "tn_cgi.h"

#ifdef __cplusplus
extern "C" {
#endif

#define EP_NAME_SIZE 256 /* repository name, at most 255 characters */
#define EP_REF_SIZE 256  /* reference after the marker, at most 255 */

/* Brings the storage up (oci_init_storage); when it cannot, answers 500
 * STORAGE_ERROR and exits. */
void ep_init_storage(void);

/* Splits `path` ("/v2/<name><marker><rest>", leading slashes and one "v2/"
 * skipped) at the LAST occurrence of `marker`. 1 with the name and the rest
 * copied; 0 when the name fails ep_name_valid (or is too long); -1 when the
 * path has no marker, an empty name, or a rest that does not fit or holds
 * a "/". The buffers are written only on 1. */
int ep_split_path(const char *path, const char *marker, char *name, size_t name_size,
                  char *rest, size_t rest_size);
/* ep_split_path on PATH_INFO, answering the request when it fails: 404
 * NAME_UNKNOWN for a path without the marker (or with an empty name or a
 * rest that cannot be one), 400 NAME_INVALID for an invalid name. Returns
 * only with `name` and `rest` filled. */
void ep_resource(const char *marker, char *name, size_t name_size, char *rest,
                 size_t rest_size);

/* A repository name every part of the registry accepts: the front's rule
 * (oci_valid_repo_name), the store's (no ".."), and each "/"-separated
 * component beginning and ending with an ASCII letter or digit. */
int ep_name_valid(const char *name);
/* A tag: [A-Za-z0-9_] followed by at most 127 of [A-Za-z0-9._-]. */
int ep_tag_valid(const char *tag);
/* "sha256:" and 64 lowercase hex digits. */
int ep_digest_valid(const char *digest);

/* Status line with reason phrase and the API version line. */
void ep_head(int status, const char *reason);
/* A whole reply without body: ep_head, "Content-Length: 0", blank line. */
void ep_reply_empty(int status, const char *reason);

/* The page size from query parameter `name`: absent or empty gives
 * REG_PAGE_MAX, decimal digits give their value (above REG_PAGE_MAX:
 * REG_PAGE_MAX). 0 with *out set; -1 for anything else (a sign, a non-digit,
 * a space). */
int ep_page_size(const char *name, int *out);

/* Sends a listing page as a whole reply: 200, the JSON content type and,
 * when `next` is not empty, the header
 *   Link: <BASE?n=N&last=NEXT>; rel="next"
 * then, when with_body, `doc` and a line end. */
void ep_send_page(const char *base, int n, const char *next, const char *doc, int with_body);

/* Opens the stored file `path` for reading and takes its length into
 * *out_size. A file that cannot be opened is answered 404 with `code` and
 * `message`, one whose length cannot be taken 500 STORAGE_ERROR; both exit.
 * The caller closes the file. */
FILE *ep_open_stored(const char *path, const char *code, const char *message,
                     uint64_t *out_size);

/* Writes `count` bytes of `f` from `offset` on to standard output, in 64 KiB
 * pieces. 0 when all were written; -1 when the file ended early or a read or
 * write failed (the reply is then cut short; nothing else can be done once
 * the head is out). */
int ep_send_file(FILE *f, uint64_t offset, uint64_t count);

#ifdef __cplusplus
}
#endif

#endif
