// v2_tags - the tag list of a repository, one CGI process per request.
//
// Serves GET /v2/<name>/tags/list[?n=N&last=T]: {"name":...,"tags":[...]}
// with the tags sorted by byte value, at most N of them (absent: 1000; above
// 1000: 1000), after tag T when given. When more follow, a
//   Link: </v2/<name>/tags/list?n=N&last=<last tag sent>>; rel="next"
// header points at the next page, so every tag is reached however many
// there are. A repository that does not exist (no manifest was ever stored
// under its name) is answered 404 NAME_UNKNOWN, an existing one without tags
// with an empty list.
#include <string.h>

#include "ep_common.h"
#include "oci_common.h"
#include "reg_storage.h"
#include "tn_cgi.h"

int main() {
  const char *method = cgi_method();
  ep_init_storage();
  char name[EP_NAME_SIZE];
  char rest[EP_REF_SIZE];
  ep_resource("/tags/list", name, sizeof name, rest, sizeof rest);
  if (rest[0] != '\0') oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
  if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
    oci_send_error(405, "UNSUPPORTED", "Method not allowed for tag list endpoint");

  int n = 0;
  if (ep_page_size("n", &n) != 0) oci_send_error(400, "UNSUPPORTED", "invalid page size n");
  if (reg_repository_exists(name) != 1)
    oci_send_error(404, "NAME_UNKNOWN", "repository name not known to registry");

  char next[REG_NEXT_SIZE];
  const char *doc = reg_tags_page_json(name, n, cgi_query("last"), next, sizeof next);
  if (doc == nullptr) oci_send_error(500, "STORAGE_ERROR", "cannot list tags");

  char base[EP_NAME_SIZE + 16];
  tn_snprintf(base, sizeof base, "/v2/%s/tags/list", name);
  ep_send_page(base, n, next, doc, strcmp(method, "GET") == 0);
  return 0;
}
