// CGI gateway: the request from the environment and standard input, the
// response head on standard output, terminal replies, and the bounded string
// helpers the rest of the program builds on.
#include "tn_cgi.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"

namespace {

// Set once tn_stdout_bin has put standard output into binary mode.
int done;
// Rotating result buffers of cgi_query; `slot` is the one the last call used,
// so the first call of a process writes slots[1].
constexpr int kSlotCount = 8;
constexpr size_t kSlotSize = 512;
char slots[kSlotCount][kSlotSize];
int slot;

constexpr char kEmpty[] = "";

constexpr char kCtHtml[] = "Content-Type: text/html; charset=utf-8\r\n";
constexpr char kCtJson[] = "Content-Type: application/json; charset=utf-8\r\n";
constexpr char kCtText[] = "Content-Type: text/plain; charset=utf-8\r\n";

constexpr char kDieJsonHead[] = "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"";
constexpr char kDieJsonTail[] = "\"}]}\n";
static_assert(sizeof kDieJsonHead - 1 == 38, "error body head is 38 bytes");
static_assert(sizeof kDieJsonTail - 1 == 5, "error body tail is 5 bytes");

// A body length from CONTENT_LENGTH or a body file, as cgi_read_post keeps
// it: a signed 32-bit number.
constexpr int64_t kMaxPostLen = INT32_MAX;

// Value of one hexadecimal digit, -1 for anything else.
int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes the query value [v, end) into out (at most 511 bytes and a
// terminator): "+" is a space, "%XX" a byte, a malformed escape stays
// literal.
void decode_value(const char *v, const char *end, char *out) {
  size_t n = 0;
  while (v < end && n < kSlotSize - 1) {
    char c = *v;
    if (c == '+') {
      out[n++] = ' ';
      v++;
    } else if (c == '%' && end - v >= 3 && hexval(v[1]) >= 0 && hexval(v[2]) >= 0) {
      out[n++] = static_cast<char>(hexval(v[1]) * 16 + hexval(v[2]));
      v += 3;
    } else {
      out[n++] = c;
      v++;
    }
  }
  out[n] = '\0';
}

// Opens POST_BODY_FILE for binary reading; null when unset, empty or it does
// not open.
FILE *open_body_file() {
  const char *path = getenv("POST_BODY_FILE");
  if (path == nullptr || path[0] == '\0') return nullptr;
  return plat_fopen(path, "rb");
}

// CONTENT_LENGTH as an unsigned 64-bit decimal count, read as strtol reads
// a number: blanks and "+" may lead, text after the digits is ignored, a
// value past 2^64 - 1 saturates. Unset, negative or not a number gives 0.
uint64_t content_length() {
  const char *s = getenv("CONTENT_LENGTH");
  if (s == nullptr) return 0;
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\f' || *s == '\v') s++;
  if (*s == '-') return 0;
  if (*s == '+') s++;
  uint64_t v = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    uint64_t d = static_cast<uint64_t>(*s - '0');
    if (v > (UINT64_MAX - d) / 10) return UINT64_MAX;
    v = v * 10 + d;
  }
  return v;
}

}  // namespace

extern "C" {

void tn_stdout_bin(void) {
  if (done) return;
  plat_binary_mode(stdout);
  done = 1;
}

const char *cgi_env(const char *name, const char *def) {
  const char *v = name != nullptr ? getenv(name) : nullptr;
  if (v != nullptr && v[0] != '\0') return v;
  return def != nullptr ? def : kEmpty;
}

const char *cgi_method(void) { return cgi_env("REQUEST_METHOD", "GET"); }

const char *cgi_path_info(void) { return cgi_env("PATH_INFO", "/"); }

int cgi_is_post(void) {
  const char *m = cgi_method();
  return m[0] == 'P' && m[1] == 'O' ? 1 : 0;
}

int cgi_is_head(void) {
  const char *m = cgi_method();
  return strncmp(m, "HEAD", 4) == 0 ? 1 : 0;
}

const char *cgi_query(const char *name) {
  const char *qs = getenv("QUERY_STRING");
  if (name == nullptr || name[0] == '\0') return kEmpty;

  slot = (slot + 1) % kSlotCount;
  char *out = slots[slot];
  out[0] = '\0';

  if (qs == nullptr || qs[0] == '\0') {
    // No query string: the parameter may come as a variable of its own
    // name. A value holding both ';' and ':' looks like a search path (PATH
    // and the like), not a parameter, and is refused.
    const char *v = getenv(name);
    if (v == nullptr || v[0] == '\0') return kEmpty;
    if (strchr(v, ';') != nullptr && strchr(v, ':') != nullptr) return kEmpty;
    return v;
  }

  const size_t name_len = strlen(name);
  const char *seg = qs;
  for (;;) {
    const char *amp = strchr(seg, '&');
    const char *seg_end = amp != nullptr ? amp : seg + strlen(seg);
    const char *eq = static_cast<const char *>(memchr(seg, '=', static_cast<size_t>(seg_end - seg)));
    const char *key_end = eq != nullptr ? eq : seg_end;
    if (static_cast<size_t>(key_end - seg) == name_len && memcmp(seg, name, name_len) == 0) {
      if (eq != nullptr) decode_value(eq + 1, seg_end, out);
      return out;
    }
    if (amp == nullptr) break;
    seg = amp + 1;
  }
  return kEmpty;
}

char *cgi_read_post(uint64_t *out_len) {
  if (out_len != nullptr) *out_len = 0;

  FILE *f = open_body_file();
  if (f != nullptr) {
    // A file of 2^31 bytes or more does not fit the signed 32-bit length;
    // it is refused rather than read in part.
    int64_t len = plat_file_length(f);
    if (len < 0 || len > kMaxPostLen) {
      fclose(f);
      return nullptr;
    }
    char *buf = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
    if (buf == nullptr) {
      fclose(f);
      return nullptr;
    }
    size_t n = len > 0 ? fread(buf, 1, static_cast<size_t>(len), f) : 0;
    buf[n] = '\0';
    fclose(f);
    if (out_len != nullptr) *out_len = n;
    return buf;
  }

  const uint64_t announced = content_length();
  if (announced == 0) return nullptr;
  const int64_t len = announced > kMaxPostLen ? kMaxPostLen : static_cast<int64_t>(announced);
  plat_binary_mode(stdin);
  char *buf = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
  if (buf == nullptr) return nullptr;
  size_t n = fread(buf, 1, static_cast<size_t>(len), stdin);
  buf[n] = '\0';
  if (out_len != nullptr) *out_len = n;
  return buf;
}

void cgi_body_open(cgi_body *body, uint64_t *announced) {
  if (announced != nullptr) *announced = 0;
  if (body == nullptr) return;
  body->src = nullptr;
  body->remaining = 0;
  body->owns_src = 0;

  FILE *f = open_body_file();
  if (f != nullptr) {
    int64_t len = plat_file_length(f);
    if (len <= 0) {
      // Empty, or a file whose length cannot be taken: no body.
      fclose(f);
      return;
    }
    body->src = f;
    body->owns_src = 1;
    body->remaining = static_cast<uint64_t>(len);
  } else {
    uint64_t len = content_length();
    if (len == 0) return;
    plat_binary_mode(stdin);
    body->src = stdin;
    body->remaining = len;
  }
  if (announced != nullptr) *announced = body->remaining;
}

size_t cgi_body_read(cgi_body *body, void *buf, size_t cap) {
  if (body == nullptr || body->src == nullptr || buf == nullptr || cap == 0 ||
      body->remaining == 0) {
    return 0;
  }
  size_t want = body->remaining < cap ? static_cast<size_t>(body->remaining) : cap;
  size_t n = fread(buf, 1, want, body->src);
  if (n < want) {
    // The source ended (or failed) before the announced length: the body
    // ends here.
    body->remaining = 0;
  } else {
    body->remaining -= n;
  }
  return n;
}

void cgi_body_close(cgi_body *body) {
  if (body == nullptr) return;
  if (body->owns_src && body->src != nullptr) fclose(body->src);
  body->src = nullptr;
  body->owns_src = 0;
  body->remaining = 0;
}

void cgi_header_status(int status, const char *reason) {
  tn_stdout_bin();
  if (reason != nullptr && reason[0] != '\0')
    printf("Status: %d %s\r\n", status, reason);
  else
    printf("Status: %d\r\n", status);
}

void cgi_header_html(void) {
  tn_stdout_bin();
  fputs(kCtHtml, stdout);
}

void cgi_header_json(void) {
  tn_stdout_bin();
  fputs(kCtJson, stdout);
}

void cgi_header_text(void) {
  tn_stdout_bin();
  fputs(kCtText, stdout);
}

void cgi_header_ct(const char *media_type) {
  tn_stdout_bin();
  printf("Content-Type: %s\r\n", media_type);
}

void cgi_header_extra(const char *line) {
  tn_stdout_bin();
  fputs(line, stdout);
  fputs("\r\n", stdout);
}

void cgi_headers_end(void) {
  fputs("\r\n", stdout);
  fflush(stdout);
  // Again, unconditionally, so that the body goes out untranslated too.
  plat_binary_mode(stdout);
}

void cgi_die_text(int status, const char *text) {
  cgi_header_status(status, nullptr);
  cgi_header_text();
  cgi_headers_end();
  fputs(text != nullptr ? text : "", stdout);
  fputc('\n', stdout);
  fflush(stdout);
  exit(0);
}

void cgi_die_json(int status, const char *message) {
  cgi_header_status(status, nullptr);
  cgi_header_json();
  cgi_headers_end();
  fputs(kDieJsonHead, stdout);
  json_escape_f(stdout, message != nullptr ? message : "error");
  fputs(kDieJsonTail, stdout);
  fflush(stdout);
  exit(0);
}

void json_escape_f(FILE *out, const char *s) {
  if (out == nullptr || s == nullptr) return;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
    unsigned char c = *p;
    switch (c) {
      case '"': fputs("\\\"", out); break;
      case '\\': fputs("\\\\", out); break;
      case 0x08: fputs("\\b", out); break;
      case 0x09: fputs("\\t", out); break;
      case 0x0A: fputs("\\n", out); break;
      case 0x0C: fputs("\\f", out); break;
      case 0x0D: fputs("\\r", out); break;
      default:
        if (c < 0x20)
          fprintf(out, "\\u%04x", c);
        else
          fputc(c, out);
    }
  }
}

void tn_strlcpy(char *dst, const char *src, uint64_t size) {
  if (dst == nullptr || size == 0) return;
  if (src == nullptr) {
    dst[0] = '\0';
    return;
  }
  uint64_t n = 0;
  while (n < size - 1 && src[n] != '\0') {
    dst[n] = src[n];
    n++;
  }
  dst[n] = '\0';
}

int tn_snprintf(char *buf, uint64_t size, const char *fmt, ...) {
  if (buf == nullptr || size == 0) return 0;
  va_list ap;
  va_start(ap, fmt);
  int r = vsnprintf(buf, static_cast<size_t>(size), fmt, ap);
  va_end(ap);
  if (r >= 0 && static_cast<uint64_t>(r) < size) return r;
  buf[size - 1] = '\0';
  return static_cast<int>(size - 1);
}

void tn_path_join(char *dst, uint64_t size, const char *a, const char *b) {
  if (dst == nullptr || size == 0) return;
  dst[0] = '\0';
  if (a == nullptr || a[0] == '\0') {
    if (b != nullptr) tn_strlcpy(dst, b, size);
    return;
  }
  if (b == nullptr || b[0] == '\0') {
    tn_strlcpy(dst, a, size);
    return;
  }
  tn_strlcpy(dst, a, size);
  size_t len = strlen(dst);
  if (len > 0 && dst[len - 1] != '/' && dst[len - 1] != '\\' && len + 1 < size) {
    dst[len++] = '\\';
    dst[len] = '\0';
  }
  while (*b == '/' || *b == '\\') b++;
  tn_strlcpy(dst + len, b, size - len);
}

}  // extern "C"
