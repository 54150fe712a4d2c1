// v2_stats - storage statistics, one CGI process per request.
//
// Serves GET /v2/_stats: the counts of repositories, tags, blobs and upload
// sessions and the bytes of blobs and sessions, as one JSON document.
#include <string.h>

#include "ep_common.h"
#include "oci_common.h"
#include "reg_storage.h"
#include "tn_cgi.h"

int main() {
  const char *method = cgi_method();
  ep_init_storage();
  if (strcmp(method, "GET") != 0)
    oci_send_error(405, "UNSUPPORTED", "Method not allowed for statistics endpoint");
  const char *doc = reg_storage_get_stats_json();
  if (doc == nullptr) oci_send_error(500, "STORAGE_ERROR", "cannot read statistics");
  oci_send_json(200, doc);
  return 0;
}
