// v2_catalog - the repository catalog, one CGI process per request.
//
// Serves GET /v2/_catalog[?n=N&last=R]: {"repositories":[...]} with every
// repository by its full name (team/app) sorted by byte value, at most N of
// them (absent: 1000; above 1000: 1000), after repository R when given. When
// more follow, a
//   Link: </v2/_catalog?n=N&last=<last name sent>>; rel="next"
// header points at the next page.
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
  if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
    oci_send_error(405, "UNSUPPORTED", "Method not allowed for catalog endpoint");

  int n = 0;
  if (ep_page_size("n", &n) != 0) oci_send_error(400, "UNSUPPORTED", "invalid page size n");
  char next[REG_NEXT_SIZE];
  const char *doc = reg_catalog_page_json(n, cgi_query("last"), next, sizeof next);
  if (doc == nullptr) oci_send_error(500, "STORAGE_ERROR", "cannot list repositories");

  ep_head(200, "OK");
  cgi_header_json();
  if (next[0] != '\0') {
    char link[512];
    tn_snprintf(link, sizeof link, "Link: </v2/_catalog?n=%d&last=%s>; rel=\"next\"", n, next);
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
