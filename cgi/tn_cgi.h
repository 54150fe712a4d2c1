/*
 * tn_cgi.h - the CGI gateway: reading the request, writing the response head.
 *
 * The program's only contact with the Common Gateway Interface. The request
 * comes from environment variables (REQUEST_METHOD, PATH_INFO, QUERY_STRING,
 * CONTENT_LENGTH, POST_BODY_FILE) and from standard input; the reply goes to
 * standard output as a CGI head: a "Status" line, header lines, a blank line,
 * each ending in CR LF, then the body if any.
 *
 * Calling sequence for a reply: one cgi_header_status(), any other header
 * writers, cgi_headers_end(), then the body. The unit does not enforce it.
 *
 * Ownership: texts returned by cgi_env/cgi_method/cgi_path_info live for the
 * process; a cgi_query result lives until the eighth cgi_query call after it
 * (eight rotating 512-byte slots); cgi_read_post's buffer belongs to the
 * caller, who frees it with free(). Nothing here is thread-safe: one process
 * serves one request.
 */
#ifndef TN_CGI_H
#define TN_CGI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
#define TN_NORETURN [[noreturn]]
extern "C" {
#else
#define TN_NORETURN _Noreturn
#endif

#if defined(__GNUC__)
#define TN_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TN_PRINTF(f, a)
#endif

/* Puts standard output into binary mode, once per process. */
void tn_stdout_bin(void);

/* The variable's value if set and non-empty; else `def` if non-null; else "". */
const char *cgi_env(const char *name, const char *def);
/* REQUEST_METHOD, "GET" when unset or empty. */
const char *cgi_method(void);
/* PATH_INFO, "/" when unset or empty. */
const char *cgi_path_info(void);
/* 1 when the method begins with "PO" (case-sensitive), else 0. */
int cgi_is_post(void);
/* 1 when the method begins with "HEAD" (case-sensitive), else 0. */
int cgi_is_head(void);

/* The decoded value of the first query parameter called `name` ("+" becomes
 * a space, %XX a byte; malformed escapes stay literal; cut at 511 bytes).
 * Never null: every miss gives "". With QUERY_STRING unset or empty it falls
 * back to an environment variable of that name (refused, as "", when its
 * value holds both ';' and ':'), returned undecoded. */
const char *cgi_query(const char *name);

/* Reads the whole request body into a heap buffer of length + 1 bytes, NUL
 * terminated, from the file named by POST_BODY_FILE or else CONTENT_LENGTH
 * bytes of standard input. The length is a signed 32-bit number (larger
 * CONTENT_LENGTH values count as 2147483647). *out_len (when non-null) gets
 * the bytes actually read, 0 on failure. Null when there is no body, it
 * cannot be measured, or memory runs out. The caller frees the buffer. */
char *cgi_read_post(uint64_t *out_len);

/* Streaming body reader, for bodies of any size in constant memory.
 * The source is chosen as for cgi_read_post, but lengths are 64-bit:
 * POST_BODY_FILE when it names a file that opens (its length is the body;
 * a file whose length cannot be taken gives no body), else CONTENT_LENGTH
 * bytes of standard input (unset, zero, negative or not a number: no body).
 * Calling sequence: cgi_body_open, cgi_body_read until it gives 0,
 * cgi_body_close. */
typedef struct cgi_body {
  FILE *src;          /* the body file, standard input, or null (no body) */
  uint64_t remaining; /* bytes announced and not yet delivered */
  int owns_src;       /* 1 when src is a file this reader opened */
} cgi_body;

/* Prepares `body`; *announced (when non-null) gets the announced length, 0
 * when there is none. Always succeeds; a body of 0 bytes reads as empty. */
void cgi_body_open(cgi_body *body, uint64_t *announced);
/* Reads up to `cap` bytes into `buf`; the count read, 0 when the body is
 * used up or its source ends early (a short body is not an error). */
size_t cgi_body_read(cgi_body *body, void *buf, size_t cap);
/* Closes a body file the reader opened; safe to call more than once. */
void cgi_body_close(cgi_body *body);

/* "Status: %d %s\r\n", or "Status: %d\r\n" when reason is null or empty. */
void cgi_header_status(int status, const char *reason);
void cgi_header_html(void); /* Content-Type: text/html; charset=utf-8 */
void cgi_header_json(void); /* Content-Type: application/json; charset=utf-8 */
void cgi_header_text(void); /* Content-Type: text/plain; charset=utf-8 */
/* "Content-Type: %s\r\n"; `media_type` must not be null. */
void cgi_header_ct(const char *media_type);
/* Writes `line` (no line end, must not be null) and CR LF. */
void cgi_header_extra(const char *line);
/* Writes the blank line, flushes, and keeps standard output binary. */
void cgi_headers_end(void);

/* Terminal replies: write a whole response and exit(0). */
TN_NORETURN void cgi_die_text(int status, const char *text);
TN_NORETURN void cgi_die_json(int status, const char *message);

/* Writes `s` with JSON string escapes (no surrounding quotes); null writes
 * nothing. Bytes from 0x7f up pass unchanged. */
void json_escape_f(FILE *out, const char *s);

/* Bounded copy: at most size - 1 bytes and a terminator; nothing when dst
 * is null or size 0; a null src gives "". */
void tn_strlcpy(char *dst, const char *src, uint64_t size);
/* Bounded formatting: 0 when buf is null or size 0; otherwise the number of
 * characters stored (size - 1 when cut or when formatting failed). */
int tn_snprintf(char *buf, uint64_t size, const char *fmt, ...) TN_PRINTF(3, 4);
/* Joins a and b with one backslash (none when a already ends in a separator;
 * b's leading separators are skipped unless a is empty). Bounded by size. */
void tn_path_join(char *dst, uint64_t size, const char *a, const char *b);

#ifdef __cplusplus
}
#endif

#endif
