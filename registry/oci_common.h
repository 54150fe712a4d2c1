/*
 * oci_common.h - the registry front shared by the endpoint programs.
 *
 * Finds the storage root and brings the storage library up once per process,
 * writes the registry's JSON replies, checks repository names, and splits a
 * request path into repository name and the identifier after a marker.
 *
 * Storage root, first match wins: the environment variable
 * REGISTRY_STORAGE_ROOT; the "storage_root" (else "registry_storage_root")
 * string in the first 2047 bytes of ./config.json, read as plain text; the
 * default "./registry_storage".
 *
 * Error replies end the process with exit status 0; the outcome of a request
 * is carried only by its Status header.
 */
#ifndef OCI_COMMON_H
#define OCI_COMMON_H

#include <stddef.h>

#include "tn_cgi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when storage is ready (initialised now or earlier in this process);
 * otherwise reg_storage_init's failure result, and a later call retries. */
int oci_init_storage(void);

/* Writes the error reply {"errors":[{"code":CODE,"message":MESSAGE}]} with
 * status `status` (no reason phrase) and exits with status 0. A null code is
 * "UNKNOWN", a null message "Unknown error"; the code is written as given,
 * the message JSON-escaped. */
TN_NORETURN void oci_send_error(int status, const char *code, const char *message);

/* oci_send_error with `line` (a header line without line end, or null for
 * none) written right after the API version line, e.g. the Range a client
 * must resume from. Exits with status 0. */
TN_NORETURN void oci_send_error_line(int status, const char *code, const char *message,
                                     const char *line);

/* Writes a JSON reply: status line, API version header, JSON content type,
 * then `json` and a line feed ("{}\n" when json is null or empty). Returns. */
void oci_send_json(int status, const char *json);

/* 1 when `name` is a valid repository name: 1 to 255 characters, ASCII
 * letters and digits, and "-", "_", ".", "/" never first or last, no "//". */
int oci_valid_repo_name(const char *name);

/* Splits `path` (leading "/" and one "v2/" skipped) at the first `marker`:
 * the text before it is the name (must be valid and shorter than name_size),
 * the text after it, leading "/" skipped and one trailing "/" removed, is the
 * id (cut to id_size - 1; id may be null or id_size 0). 1 on success, 0 when
 * there is no marker or the name is empty, too long or invalid. */
int oci_parse_repo_marker(const char *path, const char *marker, char *name, size_t name_size,
                          char *id, size_t id_size);

#ifdef __cplusplus
}
#endif

#endif
