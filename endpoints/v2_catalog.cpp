// v2_catalog - the repository catalog, one CGI process per request.
//
// Serves GET /v2/_catalog[?n=N&last=R]: {"repositories":[...]} with every
// repository by its full name (team/app) sorted by byte value, at most N of
// them (absent: 1000; above 1000: 1000), after repository R when given. When
// more follow, a
//   Link: </v2/_catalog?n=N&last=<last name sent>>; rel="next"
// header points at the next page.
#include <string.h>

#include "ep_common.h"
#include "oci_common.h"
#include "reg_storage.h"
#include "tn_cgi.h"

int main() {
  const char *method = cgi_method();
  ep_init_storage();
  if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
    oci_send_error(405, "UNSUPPORTED", "Method not allowed for catalog endpoint");

  int n = 0;
  if (ep_page_size("n", &n) != 0) oci_send_error(400, "UNSUPPORTED", "invalid page size n");
  char next[REG_NEXT_SIZE];
  const char *doc = reg_catalog_page_json(n, cgi_query("last"), next, sizeof next);
  if (doc == nullptr) oci_send_error(500, "STORAGE_ERROR", "cannot list repositories");

  ep_send_page("/v2/_catalog", n, next, doc, strcmp(method, "GET") == 0);
  return 0;
}
