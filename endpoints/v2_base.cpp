// v2_base - the API version check, one CGI process per request.
//
// Serves GET (and HEAD) /v2/ with 200 and the body {}: every client asks this
// first to learn that the server speaks the registry API. The web server
// also sends here every /v2 path no other program serves; those are answered
// 404 NAME_UNKNOWN, as no repository resource is behind them.
#include <string.h>

#include "oci_common.h"
#include "tn_cgi.h"

int main() {
  const char *method = cgi_method();
  const char *path = cgi_path_info();
  while (*path == '/') path++;
  if (strcmp(path, "v2") != 0 && strcmp(path, "v2/") != 0)
    oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
  if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
    oci_send_error(405, "UNSUPPORTED", "Method not allowed for the version check");
  oci_send_json(200, "{}");
  return 0;
}
