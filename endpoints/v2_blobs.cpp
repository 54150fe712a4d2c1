// v2_blobs - stored blobs, one CGI process per request.
//
// Serves /v2/<name>/blobs/<digest>:
//   GET     the blob's bytes (200), or one range of them (206) when the
//           request carries "Range: bytes=a-b", "bytes=a-" or "bytes=-n"
//   HEAD    the same head, no body
//   DELETE  remove the blob (202)
//
// Blobs are shared by every repository: the name is checked for its form
// only, and a delete removes the blob for all repositories. The file is sent
// in 64 KiB pieces, so a blob of any size costs constant memory.
#include <stdio.h>
#include <string.h>

#include "ep_common.h"
#include "oci_common.h"
#include "reg_storage.h"
#include "tn_cgi.h"

namespace {

constexpr char kMarker[] = "/blobs/";
constexpr char kBlobUnknown[] = "BLOB_UNKNOWN";
constexpr char kBlobUnknownText[] = "blob unknown to registry";
constexpr size_t kLineSize = 160;

// What a Range request header asks for, against a blob of `size` bytes.
enum class range_kind { whole, part, unsatisfiable };

// Reads a decimal number at *p (at least one digit, no overflow) and moves
// *p past it.
bool read_number(const char **p, uint64_t *out) {
  const char *s = *p;
  if (*s < '0' || *s > '9') return false;
  uint64_t v = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    uint64_t d = static_cast<uint64_t>(*s - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *p = s;
  *out = v;
  return true;
}

// One byte range "bytes=a-b", "bytes=a-" or "bytes=-n" against `size`. A
// header that is absent, malformed, of another unit or names several ranges
// is ignored and the whole blob is sent, as HTTP allows. A range starting at
// or past the end, or a suffix of 0 bytes, cannot be satisfied. The end is
// cut to the last byte.
range_kind parse_range(const char *h, uint64_t size, uint64_t *first, uint64_t *last) {
  if (strncmp(h, "bytes=", 6) != 0) return range_kind::whole;
  const char *p = h + 6;
  uint64_t a = 0, b = 0;
  if (*p == '-') {
    p++;
    if (!read_number(&p, &b) || *p != '\0') return range_kind::whole;
    if (b == 0 || size == 0) return range_kind::unsatisfiable;
    *first = b >= size ? 0 : size - b;
    *last = size - 1;
    return range_kind::part;
  }
  if (!read_number(&p, &a) || *p != '-') return range_kind::whole;
  p++;
  bool open_end = *p == '\0';
  if (!open_end && (!read_number(&p, &b) || *p != '\0' || b < a)) return range_kind::whole;
  if (a >= size) return range_kind::unsatisfiable;
  *first = a;
  *last = open_end || b >= size ? size - 1 : b;
  return range_kind::part;
}

void send_blob(const char *digest, bool with_body) {
  char path[4096];
  if (reg_blob_get_filepath(digest, path, sizeof path) != 0)
    oci_send_error(404, kBlobUnknown, kBlobUnknownText);
  // The length of the file as opened: a blob is never rewritten, so it is
  // the length of what will be read.
  uint64_t size = 0;
  FILE *f = ep_open_stored(path, kBlobUnknown, kBlobUnknownText, &size);

  uint64_t first = 0, last = 0;
  range_kind kind = parse_range(cgi_env("HTTP_RANGE", ""), size, &first, &last);
  char line[kLineSize];
  if (kind == range_kind::unsatisfiable) {
    fclose(f);
    tn_snprintf(line, sizeof line, "Content-Range: bytes */%llu",
                static_cast<unsigned long long>(size));
    oci_send_error_line(416, "SIZE_INVALID", "requested range not satisfiable", line);
  }
  uint64_t count = size;
  if (kind == range_kind::part) {
    count = last - first + 1;
    ep_head(206, "Partial Content");
    tn_snprintf(line, sizeof line, "Content-Range: bytes %llu-%llu/%llu",
                static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
                static_cast<unsigned long long>(size));
    cgi_header_extra(line);
  } else {
    ep_head(200, "OK");
  }
  tn_snprintf(line, sizeof line, "Content-Length: %llu", static_cast<unsigned long long>(count));
  cgi_header_extra(line);
  tn_snprintf(line, sizeof line, "Docker-Content-Digest: %s", digest);
  cgi_header_extra(line);
  cgi_header_ct("application/octet-stream");
  cgi_header_extra("Accept-Ranges: bytes");
  cgi_headers_end();
  if (with_body) ep_send_file(f, kind == range_kind::part ? first : 0, count);
  fclose(f);
}

void delete_blob(const char *digest) {
  if (reg_blob_exists(digest) != 1) oci_send_error(404, kBlobUnknown, kBlobUnknownText);
  if (reg_blob_delete(digest) != 0) {
    // Gone in the meantime: someone else's delete won.
    if (reg_blob_exists(digest) == 0) oci_send_error(404, kBlobUnknown, kBlobUnknownText);
    oci_send_error(500, "STORAGE_ERROR", "failed to delete blob");
  }
  ep_reply_empty(202, "Accepted");
}

}  // namespace

int main() {
  const char *method = cgi_method();
  ep_init_storage();
  char name[EP_NAME_SIZE];
  char digest[EP_REF_SIZE];
  ep_resource(kMarker, name, sizeof name, digest, sizeof digest);
  if (!ep_digest_valid(digest)) oci_send_error(400, "DIGEST_INVALID", "invalid digest");

  if (strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0) {
    send_blob(digest, strcmp(method, "GET") == 0);
  } else if (strcmp(method, "DELETE") == 0) {
    delete_blob(digest);
  } else {
    oci_send_error(405, "UNSUPPORTED", "Method not allowed for blob endpoint");
  }
  return 0;
}
