// The least a CGI program can do: a status line and the end of the head.
// bench_http measures the web server's per-request cost with it.
#include <stdio.h>

int main() {
  fputs("Status: 204 No Content\r\n\r\n", stdout);
  return 0;
}
