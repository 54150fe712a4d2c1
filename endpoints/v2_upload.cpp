// v2_upload - the blob upload endpoint, one CGI process per request.
//
// Serves /v2/<name>/blobs/uploads[/<id>]:
//   POST              start a session (202), or with ?digest= take a whole
//                     blob in one request (201)
//                     with ?mount=<digest>&from=<repo>, answer 201 at once
//                     when that blob is stored (blobs are shared by every
//                     repository), else start a session as usual
//   PATCH  .../<id>   append the body to the session (202, with the Range
//                     now held when the session exists); a Content-Range that does not start at the
//                     session's size is answered 416 and appends nothing
//   PUT    .../<id>   append a final chunk if any, then finish against
//                     ?digest= (201)
//   DELETE .../<id>   cancel the session (202)
//   GET    .../<id>   report the session (204, with its Range when it
//                     exists)
//
// Success replies are a head only: status line with reason phrase, the API
// version line and the resource's own lines, no body. Every failure goes
// through oci_send_error, which writes the JSON error reply and exits with
// status 0, so the exit status is 0 in every case and the outcome is carried
// by the Status header alone.
//
// Request bodies are streamed into the session in pieces of 1 MiB through one
// static buffer: a layer of several GiB sent in one PATCH is appended whole in
// constant memory.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "ep_common.h"
#include "oci_common.h"
#include "reg_storage.h"
#include "tn_cgi.h"

int handle_v2_upload(const char *repo_arg, const char *id_arg);

namespace {

constexpr char kMarker[] = "/blobs/uploads";

constexpr size_t kNameSize = 256;       // repository name, at most 255 characters
constexpr size_t kIdSize = 128;         // upload id of the request, at most 127
constexpr size_t kNewIdSize = 37;       // a fresh upload id and its terminator
constexpr size_t kDigestSize = 72;      // "sha256:" + 64 digits and terminator
constexpr size_t kLocationSize = 512;   // the Location header line
constexpr size_t kLineSize = 160;       // the second resource header line
constexpr size_t kUuidLineBound = 128;  // Docker-Upload-UUID line is cut here
constexpr size_t kRangeSize = 64;       // "Range: 0-" and a 64-bit offset

// The one buffer through which every request body passes on its way into the
// session file.
constexpr size_t kPieceSize = 1u << 20;
unsigned char s_piece[kPieceSize];

// Cuts a formatted header line at its first control byte. The request's
// upload id is echoed unchecked (GET, and PATCH with an empty body), and a
// CR or LF in it would otherwise end the line early and let the client add
// header lines of its own to our reply.
void keep_one_line(char *line) {
  for (char *p = line; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f) {
      *p = '\0';
      return;
    }
  }
}

// Writes a success reply: status line, API version line, then the given
// header lines that are non-null, the blank line, and no body.
void send_head(int status, const char *reason, const char *line1 = nullptr,
               const char *line2 = nullptr, const char *line3 = nullptr) {
  ep_head(status, reason);
  if (line1 != nullptr) cgi_header_extra(line1);
  if (line2 != nullptr) cgi_header_extra(line2);
  if (line3 != nullptr) cgi_header_extra(line3);
  cgi_headers_end();
  fflush(stdout);
}

// Reply naming a session: its Location and Docker-Upload-UUID, and
// `range` after them when non-null.
void send_session_head(int status, const char *reason, const char *name, const char *id,
                       const char *range) {
  char location[kLocationSize];
  char uuid_line[kLineSize];
  tn_snprintf(location, sizeof location, "Location: /v2/%s/blobs/uploads/%s", name, id);
  tn_snprintf(uuid_line, kUuidLineBound, "Docker-Upload-UUID: %s", id);
  keep_one_line(location);
  keep_one_line(uuid_line);
  send_head(status, reason, location, uuid_line, range);
}

// Reply for a stored blob: its Location and Docker-Content-Digest.
void send_blob_head(const char *name, const char *digest) {
  char location[kLocationSize];
  char digest_line[kLineSize];
  tn_snprintf(location, sizeof location, "Location: /v2/%s/blobs/%s", name, digest);
  tn_snprintf(digest_line, sizeof digest_line, "Docker-Content-Digest: %s", digest);
  keep_one_line(location);
  send_head(201, "Created", location, digest_line);
}

// "Range: 0-<offset of the last byte held>", "Range: 0-0" when the session
// is empty or unknown.
void range_line(int64_t size, char *out, size_t cap) {
  tn_snprintf(out, cap, "Range: 0-%lld", static_cast<long long>(size > 0 ? size - 1 : 0));
}

// Reads the start of a Content-Range "a-b" (also "bytes a-b", "bytes=a-b",
// each optionally followed by "/total"). False when malformed.
bool content_range_start(const char *h, uint64_t *start) {
  if (strncmp(h, "bytes ", 6) == 0 || strncmp(h, "bytes=", 6) == 0) h += 6;
  uint64_t a = 0, b = 0;
  const char *p = h;
  for (int which = 0; which < 2; which++) {
    uint64_t v = 0;
    if (*p < '0' || *p > '9') return false;
    for (; *p >= '0' && *p <= '9'; p++) {
      uint64_t d = static_cast<uint64_t>(*p - '0');
      if (v > (UINT64_MAX - d) / 10) return false;
      v = v * 10 + d;
    }
    if (which == 0) {
      a = v;
      if (*p++ != '-') return false;
    } else {
      b = v;
    }
  }
  if ((*p != '\0' && *p != '/') || b < a) return false;
  *start = a;
  return true;
}

// Appends the request body to session `id`, piece by piece. An empty or
// absent body makes no storage call. At the first failed append nothing more
// is read or appended: later pieces would land after a gap and corrupt the
// session. A body shorter than announced appends what arrived.
// 0 when every piece read was appended, -1 after a failed append.
int append_body(const char *id) {
  cgi_body body;
  cgi_body_open(&body, nullptr);
  int rc = 0;
  for (;;) {
    size_t n = cgi_body_read(&body, s_piece, sizeof s_piece);
    if (n == 0) break;
    if (reg_blob_append_chunk(id, s_piece, n) != 0) {
      rc = -1;
      break;
    }
  }
  cgi_body_close(&body);
  return rc;
}

// Finishes session `id` against `expected` and answers 201, or 400.
void finish_and_reply(const char *name, const char *id, const char *expected) {
  char digest[kDigestSize];
  memset(digest, 0, sizeof digest);
  if (reg_blob_finish_upload(id, expected, digest) != 0)
    oci_send_error(400, "DIGEST_INVALID", "provided digest did not match uploaded content");
  send_blob_head(name, digest);
}

// POST: a new session, or with `digest` a whole blob in one request. An id
// in the request path is ignored.
void handle_post(const char *name) {
  // A cross-repository mount of a stored blob needs no session. A mount of
  // a blob that is not stored, or a malformed digest, falls back to an
  // ordinary session start.
  const char *mount = cgi_query("mount");
  if (mount[0] != '\0' && reg_blob_exists(mount) == 1) {
    char digest[kDigestSize];
    tn_strlcpy(digest, mount, sizeof digest);
    send_blob_head(name, digest);
    return;
  }

  char new_id[kNewIdSize];
  memset(new_id, 0, sizeof new_id);
  if (reg_blob_start_upload(new_id) != 0)
    oci_send_error(500, "BLOB_UPLOAD_INVALID", "failed to initiate upload session");

  const char *expected = cgi_query("digest");
  if (expected == nullptr || expected[0] == '\0') {
    send_session_head(202, "Accepted", name, new_id, "Range: bytes=0-0");
    return;
  }
  // The finish alone decides the reply: a failed append leaves content that
  // cannot match the digest.
  append_body(new_id);
  finish_and_reply(name, new_id, expected);
}

// Reply naming a session, with the Range it holds when the session exists.
void send_session_state(int status, const char *reason, const char *name, const char *id) {
  char range[kRangeSize];
  const int64_t held = reg_upload_get_size(id);
  if (held >= 0) range_line(held, range, sizeof range);
  send_session_head(status, reason, name, id, held >= 0 ? range : nullptr);
}

void handle_patch(const char *name, const char *id) {
  const char *content_range = cgi_env("HTTP_CONTENT_RANGE", "");
  if (content_range[0] != '\0') {
    // A chunk must continue the session where it stands: one sent out of
    // order or twice would corrupt the blob. An unknown session stands at 0.
    int64_t held = reg_upload_get_size(id);
    if (held < 0) held = 0;
    uint64_t start = 0;
    if (!content_range_start(content_range, &start) || start != static_cast<uint64_t>(held)) {
      char range[kRangeSize];
      range_line(held, range, sizeof range);
      oci_send_error_line(416, "BLOB_UPLOAD_INVALID", "content range does not continue the upload",
                         range);
    }
  }
  if (append_body(id) != 0) oci_send_error(400, "BLOB_UPLOAD_INVALID", "failed to append chunk");
  send_session_state(202, "Accepted", name, id);
}

// GET: an existing session is reported with the Range it holds; any other
// id is echoed as given.
void handle_get(const char *name, const char *id) { send_session_state(204, "No Content", name, id); }

// PUT: the digest is required before anything is read; an optional final
// chunk is appended, then the session is finished.
void handle_put(const char *name, const char *id) {
  const char *expected = cgi_query("digest");
  if (expected == nullptr || expected[0] == '\0')
    oci_send_error(400, "DIGEST_INVALID", "missing digest query parameter");
  append_body(id);
  finish_and_reply(name, id, expected);
}

// DELETE: cancelling an unknown or malformed id still answers 202.
void handle_delete(const char *id) {
  reg_blob_cancel_upload(id);
  send_head(202, "Accepted");
}

}  // namespace

// Serves one request. With a non-empty `repo_arg` the name (cut to 255
// characters, unchecked) and the id (`id_arg`, cut to 127 characters) come
// from the arguments; otherwise both come from PATH_INFO. Returns 0 after a
// success reply; error replies end the process instead.
int handle_v2_upload(const char *repo_arg, const char *id_arg) {
  const char *method = cgi_method();

  if (oci_init_storage() != 0)
    oci_send_error(500, "STORAGE_ERROR", "Failed to initialize registry storage");

  char name[kNameSize];
  char id[kIdSize];
  memset(name, 0, sizeof name);
  memset(id, 0, sizeof id);
  if (repo_arg != nullptr && repo_arg[0] != '\0') {
    tn_strlcpy(name, repo_arg, sizeof name);
    if (id_arg != nullptr && id_arg[0] != '\0') tn_strlcpy(id, id_arg, sizeof id);
  } else if (!oci_parse_repo_marker(cgi_path_info(), kMarker, name, sizeof name, id, sizeof id)) {
    oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
  }

  if (strcmp(method, "POST") == 0) {
    handle_post(name);
    return 0;
  }
  // Every other method works on an existing session; this comes before the
  // method is recognised, so an unknown method without an id gets 400.
  if (id[0] == '\0') oci_send_error(400, "BLOB_UPLOAD_UNKNOWN", "missing upload uuid");

  if (strcmp(method, "PATCH") == 0) {
    handle_patch(name, id);
  } else if (strcmp(method, "PUT") == 0) {
    handle_put(name, id);
  } else if (strcmp(method, "DELETE") == 0) {
    handle_delete(id);
  } else if (strcmp(method, "GET") == 0) {
    handle_get(name, id);
  } else {
    oci_send_error(405, "UNSUPPORTED", "Method not allowed for upload endpoint");
  }
  return 0;
}

int main() { return handle_v2_upload(nullptr, nullptr); }
