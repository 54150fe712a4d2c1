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
#include <stdio.h>
#include <string.h>

#include "ep_common.h"
#include "oci_common.h"
#include "reg_storage.h"
#include "tn_cgi.h"

int main() {
  const char *method = cgi_method();
  if (oci_init_storage() != 0)
    oci_send_error(500, "STORAGE_ERROR", "Failed to initialize registry storage");

  char name[EP_NAME_SIZE];
  char rest[EP_REF_SIZE];
  int split = ep_split_path(cgi_path_info(), "/tags/list", name, sizeof name, rest, sizeof rest);
  if (split < 0 || (split > 0 && rest[0] != '\0'))
    oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
  if (split == 0) oci_send_error(400, "NAME_INVALID", "invalid repository name");
  if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
    oci_send_error(405, "UNSUPPORTED", "Method not allowed for tag list endpoint");

  int n = 0;
  if (ep_page_size("n", &n) != 0) oci_send_error(400, "UNSUPPORTED", "invalid page size n");
  if (reg_repository_exists(name) != 1)
    oci_send_error(404, "NAME_UNKNOWN", "repository name not known to registry");

  char next[REG_NEXT_SIZE];
  const char *doc = reg_tags_page_json(name, n, cgi_query("last"), next, sizeof next);
  if (doc == nullptr) oci_send_error(500, "STORAGE_ERROR", "cannot list tags");

  ep_head(200, "OK");
  cgi_header_json();
  if (next[0] != '\0') {
    char link[768];
    tn_snprintf(link, sizeof link, "Link: </v2/%s/tags/list?n=%d&last=%s>; rel=\"next\"", name, n,
                next);
    cgi_header_extra(link);
  }
  cgi_headers_end();
  if (strcmp(method, "GET") == 0) {
    fputs(doc, stdout);
    fputc('\n', stdout);
    fflush(stdout);
  }
  return 0;
}
