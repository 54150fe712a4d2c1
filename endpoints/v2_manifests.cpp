// v2_manifests - image manifests and indexes, one CGI process per request.
//
// Serves /v2/<name>/manifests/<reference>, the reference a tag or a digest:
//   GET     the stored bytes with their media type (200), streamed from the
//           body file, so a manifest of any size comes back whole
//   HEAD    the same head, no body
//   PUT     store the body (201): an image index when the media type is one
//           (OCI image index, or manifest list), else an image manifest.
//           Every blob a manifest names, and every manifest an index names,
//           must already be stored, and a digest reference must be the
//           body's own digest
//   DELETE  by digest: the manifest and every tag naming it; by tag: the
//           tag, and the manifest with it when no other tag names it (202)
//
// A reference holding ":" is a digest reference, anything else a tag.
// The body of a PUT is read whole into memory, up to 4 MiB.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ep_common.h"
#include "oci_common.h"
#include "reg_storage.h"
#include "sha256.h"
#include "tn_cgi.h"

namespace {

constexpr char kMarker[] = "/manifests/";
constexpr char kManifestUnknown[] = "MANIFEST_UNKNOWN";
constexpr char kManifestUnknownText[] = "manifest unknown";
constexpr uint64_t kMaxBody = 4u << 20;
constexpr size_t kTypeMax = 126;  // the longest media type that reads back whole
constexpr size_t kLineSize = 512;

bool is_digest_ref(const char *ref) { return strchr(ref, ':') != nullptr; }

// The media type without parameters (";" on) and surrounding blanks is one
// of the two index types.
bool is_index_type(const char *type) {
  static const char *const kIndexTypes[] = {
      "application/vnd.oci.image.index.v1+json",
      "application/vnd.docker.distribution.manifest.list.v2+json",
  };
  while (*type == ' ' || *type == '\t') type++;
  size_t len = strcspn(type, ";");
  while (len > 0 && (type[len - 1] == ' ' || type[len - 1] == '\t')) len--;
  for (const char *t : kIndexTypes) {
    if (strlen(t) == len && strncmp(type, t, len) == 0) return true;
  }
  return false;
}

// A media type the store keeps and gives back unchanged as a header value:
// printable ASCII, short enough to be read back whole.
bool type_ok(const char *type) {
  size_t len = strlen(type);
  if (len > kTypeMax) return false;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(type[i]);
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

void send_manifest(const char *name, const char *ref, bool with_body) {
  char path[4096], type[128], digest[72];
  int64_t size = 0;
  if (reg_manifest_locate(name, ref, path, sizeof path, &size, type, digest) != 0)
    oci_send_error(404, kManifestUnknown, kManifestUnknownText);
  // Bodies are replaced by rename, never rewritten in place: the open file
  // is one whole body, and its length is what is sent.
  uint64_t len = 0;
  FILE *f = ep_open_stored(path, kManifestUnknown, kManifestUnknownText, &len);
  char line[kLineSize];
  ep_head(200, "OK");
  cgi_header_ct(type);
  tn_snprintf(line, sizeof line, "Docker-Content-Digest: %s", digest);
  cgi_header_extra(line);
  tn_snprintf(line, sizeof line, "Content-Length: %llu", static_cast<unsigned long long>(len));
  cgi_header_extra(line);
  cgi_headers_end();
  if (with_body) ep_send_file(f, 0, len);
  fclose(f);
}

// Reads the request body whole, at most kMaxBody bytes; 413 when more is
// announced, 400 when it ends before the announced length (a manifest
// stored from a cut body would not be the one the client sent). The caller
// frees the buffer.
unsigned char *read_body(uint64_t *out_len) {
  cgi_body body;
  uint64_t announced = 0;
  cgi_body_open(&body, &announced);
  if (announced > kMaxBody) {
    cgi_body_close(&body);
    oci_send_error(413, "SIZE_INVALID", "manifest larger than 4 MiB");
  }
  unsigned char *buf = static_cast<unsigned char *>(malloc(announced > 0 ? announced : 1));
  if (buf == nullptr) {
    cgi_body_close(&body);
    oci_send_error(500, "STORAGE_ERROR", "out of memory");
  }
  uint64_t len = 0;
  while (len < announced) {
    size_t n = cgi_body_read(&body, buf + len, static_cast<size_t>(announced - len));
    if (n == 0) break;
    len += n;
  }
  cgi_body_close(&body);
  if (len < announced) {
    free(buf);
    oci_send_error(400, "SIZE_INVALID", "manifest body shorter than announced");
  }
  *out_len = len;
  return buf;
}

void digest_of(const unsigned char *data, uint64_t len, char *out) {
  sha256_ctx ctx;
  unsigned char sum[32];
  sha256_init(&ctx);
  sha256_update(&ctx, data, static_cast<size_t>(len));
  sha256_final(&ctx, sum);
  static const char hex[] = "0123456789abcdef";
  memcpy(out, "sha256:", 7);
  for (int i = 0; i < 32; i++) {
    out[7 + 2 * i] = hex[sum[i] >> 4];
    out[8 + 2 * i] = hex[sum[i] & 15];
  }
  out[71] = '\0';
}

void put_manifest(const char *name, const char *ref) {
  const char *type = cgi_env("CONTENT_TYPE", "");
  if (!type_ok(type)) oci_send_error(400, "MANIFEST_INVALID", "invalid media type");
  uint64_t len = 0;
  unsigned char *body = read_body(&len);

  char computed[72];
  digest_of(body, len, computed);
  if (is_digest_ref(ref) && strcmp(ref, computed) != 0) {
    free(body);
    oci_send_error(400, "DIGEST_INVALID", "manifest digest does not match the reference");
  }

  char missing[72];
  char message[160];
  const bool index = is_index_type(type);
  int rc = index ? reg_index_check_manifests(name, body, len, missing)
                 : reg_manifest_check_blobs(body, len, missing);
  if (rc < 0) {
    free(body);
    oci_send_error(400, "MANIFEST_INVALID", "manifest invalid");
  }
  if (rc > 0) {
    free(body);
    tn_snprintf(message, sizeof message, "%s unknown to registry: %s",
                index ? "manifest" : "blob", missing);
    oci_send_error(400, "MANIFEST_BLOB_UNKNOWN", message);
  }
  char digest[72];
  rc = index ? reg_index_put(name, ref, body, len, type, digest)
             : reg_manifest_put(name, ref, body, len, type, digest);
  free(body);
  if (rc != 0) oci_send_error(500, "STORAGE_ERROR", "failed to store manifest");

  char line[kLineSize];
  ep_head(201, "Created");
  tn_snprintf(line, sizeof line, "Location: /v2/%s/manifests/%s", name, digest);
  cgi_header_extra(line);
  tn_snprintf(line, sizeof line, "Docker-Content-Digest: %s", digest);
  cgi_header_extra(line);
  cgi_header_extra("Content-Length: 0");
  cgi_headers_end();
}

void delete_manifest(const char *name, const char *ref) {
  char path[4096], type[128], digest[72];
  int64_t size = 0;
  if (reg_manifest_locate(name, ref, path, sizeof path, &size, type, digest) != 0)
    oci_send_error(404, kManifestUnknown, kManifestUnknownText);
  int rc = is_digest_ref(ref) ? reg_manifest_delete_all(name, ref) : reg_manifest_delete(name, ref);
  if (rc != 0) {
    // Gone in the meantime: someone else's delete won.
    if (reg_manifest_locate(name, ref, path, sizeof path, &size, type, digest) != 0)
      oci_send_error(404, kManifestUnknown, kManifestUnknownText);
    oci_send_error(500, "STORAGE_ERROR", "failed to delete manifest");
  }
  ep_reply_empty(202, "Accepted");
}

}  // namespace

int main() {
  const char *method = cgi_method();
  ep_init_storage();
  char name[EP_NAME_SIZE];
  char ref[EP_REF_SIZE];
  ep_resource(kMarker, name, sizeof name, ref, sizeof ref);
  if (ref[0] == '\0') oci_send_error(404, kManifestUnknown, kManifestUnknownText);
  if (is_digest_ref(ref)) {
    if (!ep_digest_valid(ref)) oci_send_error(400, "DIGEST_INVALID", "invalid digest");
  } else if (!ep_tag_valid(ref)) {
    oci_send_error(400, "TAG_INVALID", "invalid tag");
  }

  if (strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0) {
    send_manifest(name, ref, strcmp(method, "GET") == 0);
  } else if (strcmp(method, "PUT") == 0) {
    put_manifest(name, ref);
  } else if (strcmp(method, "DELETE") == 0) {
    delete_manifest(name, ref);
  } else {
    oci_send_error(405, "UNSUPPORTED", "Method not allowed for manifest endpoint");
  }
  return 0;
}
