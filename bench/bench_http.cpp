// bench_http: the upload endpoint behind a real web server (lighttpd).
//
//   bench_http [--total SIZE] [--chunk SIZE] [--seconds S] [--clients N] [--dir DIR]
//              [--program PATH] [--lighttpd PATH] [--curl PATH] [--smoke]
//
// 1. A blob of TOTAL bytes (default 1 GiB) uploaded with curl: POST, PATCHes
//    of CHUNK bytes (default 64 MiB), PUT with the digest; seconds, MB/s and
//    the ratio to the floor (writing the bytes to a file in the same file
//    system and hashing it once with OpenSSL), measured in the same run.
// 2. Requests per second of a GET on an upload session (the endpoint answers
//    it without touching any file of the session) against a trivial CGI
//    program that prints only a status line, through the same server and the
//    same rewrite rules, N keep-alive clients (default 8) for S seconds per
//    round (default 3), two rounds each, alternated.
//
// The server's configuration is the project's scripts/lighttpd.conf.in with
// one extra route, /bench-trivial, to the trivial program; it runs from a
// temporary directory on a free port and is stopped at the end. Results are
// checked (statuses, digest, stored blob size); any failure exits 1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>

#include "bench_util.h"

#ifndef REGISTRY_V2_UPLOAD
#define REGISTRY_V2_UPLOAD "v2_upload"
#endif
#ifndef REGISTRY_TRIVIAL_CGI
#define REGISTRY_TRIVIAL_CGI "bench_trivial_cgi"
#endif
#ifndef REGISTRY_LIGHTTPD_CONF_IN
#define REGISTRY_LIGHTTPD_CONF_IN "scripts/lighttpd.conf.in"
#endif

namespace {

struct Options {
  int64_t total = (int64_t)1 << 30;
  int64_t chunk = (int64_t)64 << 20;
  double seconds = 3;
  int clients = 8;
  std::string dir;
  std::string program = REGISTRY_V2_UPLOAD;
  std::string lighttpd;
  std::string curl;
  bool smoke = false;
};

[[noreturn]] void usage() {
  fprintf(stderr,
          "usage: bench_http [--total SIZE] [--chunk SIZE] [--seconds S] [--clients N] "
          "[--dir DIR] [--program PATH] [--lighttpd PATH] [--curl PATH] [--smoke]\n"
          "  sizes take K, M, G suffixes (powers of 1024)\n");
  exit(2);
}

std::string find_program(const std::string &name, const std::vector<std::string> &extra) {
  std::vector<std::string> dirs;
  if (const char *path = getenv("PATH")) {
    std::stringstream ss(path);
    for (std::string d; std::getline(ss, d, ':');) dirs.push_back(d);
  }
  dirs.insert(dirs.end(), extra.begin(), extra.end());
  for (const std::string &d : dirs) {
    std::string p = d + "/" + name;
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

Options parse_args(int argc, char **argv) {
  Options o;
  bench::Args args(argc, argv, usage);
  while (args.next()) {
    if (args.is("--smoke")) {
      o.smoke = true;
      o.total = (2 << 20) + 4321;
      o.chunk = 1 << 20;
      o.seconds = 0.3;
      o.clients = 2;
    } else if (args.is("--total")) {
      o.total = args.size(0);
    } else if (args.is("--chunk")) {
      o.chunk = args.size(1);
    } else if (args.is("--seconds")) {
      o.seconds = args.seconds();
    } else if (args.is("--clients")) {
      o.clients = args.count(1);
    } else if (args.is("--dir")) {
      o.dir = args.text();
    } else if (args.is("--program")) {
      o.program = args.text();
    } else if (args.is("--lighttpd")) {
      o.lighttpd = args.text();
    } else if (args.is("--curl")) {
      o.curl = args.text();
    } else {
      args.unknown();
    }
  }
  // The server runs the program through a link in its cgi-bin directory.
  if (char *abs = realpath(o.program.c_str(), nullptr)) {
    o.program = abs;
    free(abs);
  }
  if (o.lighttpd.empty()) o.lighttpd = find_program("lighttpd", {"/usr/sbin", "/usr/local/sbin"});
  if (o.curl.empty()) o.curl = find_program("curl", {"/usr/bin"});
  return o;
}

void fail(const std::string &what) { bench::fail("bench_http", what); }

// Runs a command with the inherited environment; standard output captured,
// standard error passed through.
struct Command {
  int status = -1;
  std::string out;
};

Command run(const std::vector<std::string> &args) {
  int p[2];
  Command c;
  if (pipe(p) != 0) return c;
  std::vector<char *> argv;
  std::vector<std::string> copy = args;
  for (auto &a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 1);
    close(p[0]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(p[1]);
  char buf[4096];
  for (ssize_t n; (n = read(p[0], buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    c.out.append(buf, (size_t)n);
  }
  close(p[0]);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) c.status = WEXITSTATUS(status);
  return c;
}

int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(s, (sockaddr *)&a, sizeof a) == 0 && getsockname(s, (sockaddr *)&a, &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

int connect_to(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, (sockaddr *)&a, sizeof a) != 0) {
    close(s);
    return -1;
  }
  timeval tv{30, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return s;
}

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
    s.replace(pos, from.size(), to);
  return s;
}

// The project's server configuration with the trivial program's route added
// at the head of the rewrite rules.
bool write_config(const std::string &conf, const std::string &run_dir, const std::string &root,
                  int port) {
  std::ifstream in(REGISTRY_LIGHTTPD_CONF_IN);
  if (!in) {
    fail(std::string("cannot read ") + REGISTRY_LIGHTTPD_CONF_IN);
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  const std::string anchor = "url.rewrite-once = (";
  size_t at = text.find(anchor);
  if (at == std::string::npos) {
    fail(std::string("no url.rewrite-once rule list in ") + REGISTRY_LIGHTTPD_CONF_IN);
    return false;
  }
  text.insert(at + anchor.size(),
              "\n  \"^/bench-trivial($|[/?].*)\" => \"/cgi-bin/bench_trivial_cgi$1\",");
  text = replace_all(text, "@PORT@", std::to_string(port));
  text = replace_all(text, "@RUN_DIR@", run_dir);
  text = replace_all(text, "@STORAGE_ROOT@", root);
  std::ofstream out(conf);
  out << text;
  return (bool)out;
}

// The web server, started and stopped by this program only.
struct Server {
  pid_t pid = -1;
  int port = -1;
  ~Server() { stop(); }
  void stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      int st;
      waitpid(pid, &st, 0);
      pid = -1;
    }
  }
};

// The server's own messages go to `log`.
bool start_server(const Options &opt, const std::string &conf, const std::string &log,
                  Server *srv) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(log_fd >= 0 ? log_fd : null_fd, 2);
    execl(opt.lighttpd.c_str(), opt.lighttpd.c_str(), "-D", "-f", conf.c_str(), (char *)nullptr);
    _exit(127);
  }
  srv->pid = pid;
  for (int i = 0; i < 200; i++) {
    int s = connect_to(srv->port);
    if (s >= 0) {
      close(s);
      return true;
    }
    int st;
    if (waitpid(pid, &st, WNOHANG) == pid) {
      srv->pid = -1;
      break;
    }
    usleep(50000);
  }
  fail("lighttpd did not come up");
  return false;
}

// --- the upload through curl ---

struct Upload {
  double seconds = 0;
  bool ok = false;
};

Upload upload(const Options &opt, int port, const std::vector<std::string> &chunks,
              const std::string &digest, const std::string &root) {
  Upload u;
  const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/v2/bench/app/blobs/uploads/";
  const double start = bench::now();
  Command post = run({opt.curl, "-s", "-i", "-X", "POST", "-H", "Content-Length: 0", base});
  std::string id = bench::header_value(post.out, "Docker-Upload-UUID");
  if (post.status != 0 || bench::status_code(post.out) != 202 || id.size() != 36) {
    fail("POST answered: " + post.out.substr(0, 300));
    return u;
  }
  for (const std::string &chunk : chunks) {
    Command patch = run({opt.curl, "-s", "-o", "/dev/null", "-w", "%{http_code}", "-X", "PATCH",
                         "-H", "Expect:", "-H", "Content-Type: application/octet-stream", "-T",
                         chunk, base + id});
    if (patch.status != 0 || patch.out != "202") {
      fail("PATCH of " + chunk + " answered " + patch.out);
      return u;
    }
  }
  Command put = run({opt.curl, "-s", "-i", "-X", "PUT", "-H", "Content-Length: 0",
                     base + id + "?digest=" + digest});
  u.seconds = bench::now() - start;
  if (put.status != 0 || bench::status_code(put.out) != 201 ||
      bench::header_value(put.out, "Docker-Content-Digest") != digest) {
    fail("PUT answered: " + put.out.substr(0, 300));
    return u;
  }
  const std::string hex = digest.substr(7);
  struct stat st;
  const std::string blob = root + "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex;
  if (stat(blob.c_str(), &st) != 0 || st.st_size != opt.total) {
    fail("the stored blob " + blob + " is missing or has the wrong size");
    return u;
  }
  bench::remove_tree(blob);
  u.ok = true;
  return u;
}

// --- requests per second ---

// Sends GET `path` over and over on one keep-alive connection until `stop`;
// every answer must be a 204 without a body.
void get_loop(int port, const std::string &path, const std::atomic<bool> *stop,
              std::atomic<long> *count, std::atomic<int> *errors) {
  const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  int s = -1;
  std::string in;
  char buf[4096];
  while (!stop->load()) {
    if (s < 0 && (s = connect_to(port)) < 0) {
      errors->fetch_add(1);
      return;
    }
    if (send(s, req.data(), req.size(), MSG_NOSIGNAL) != (ssize_t)req.size()) {
      close(s);
      s = -1;
      errors->fetch_add(1);
      continue;
    }
    size_t end;
    while ((end = in.find("\r\n\r\n")) == std::string::npos) {
      ssize_t n = recv(s, buf, sizeof buf, 0);
      if (n <= 0) break;
      in.append(buf, (size_t)n);
    }
    if (end == std::string::npos) {
      close(s);
      s = -1;
      in.clear();
      errors->fetch_add(1);
      continue;
    }
    const std::string head = in.substr(0, end + 4);
    in.erase(0, end + 4);
    if (bench::status_code(head) != 204) {
      errors->fetch_add(1);
      fprintf(stderr, "bench_http: GET %s answered: %s\n", path.c_str(), head.substr(0, 200).c_str());
      break;
    }
    if (!strcasestr(head.c_str(), "\r\nConnection: close")) {
      count->fetch_add(1);
      continue;
    }
    count->fetch_add(1);
    close(s);
    s = -1;
  }
  if (s >= 0) close(s);
}

double requests_per_second(const Options &opt, int port, const std::string &path) {
  std::atomic<bool> stop{false};
  std::atomic<long> count{0};
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;
  const double start = bench::now();
  for (int i = 0; i < opt.clients; i++)
    threads.emplace_back(get_loop, port, path, &stop, &count, &errors);
  usleep((useconds_t)(opt.seconds * 1e6));
  stop.store(true);
  for (auto &t : threads) t.join();
  const double t = bench::now() - start;
  if (errors.load()) fail("GET " + path + ": " + std::to_string(errors.load()) + " failed requests");
  return (double)count.load() / t;
}

}  // namespace

int main(int argc, char **argv) {
  const Options opt = parse_args(argc, argv);
  if (opt.lighttpd.empty() || opt.curl.empty()) {
    fprintf(stderr, "bench_http: needs lighttpd and curl (--lighttpd, --curl)\n");
    return 1;
  }
  bench::TempDir dir(opt.dir);
  const std::string run_dir = dir.path() + "/run", root = dir.path() + "/storage";
  for (const std::string &d : {run_dir, run_dir + "/htdocs", run_dir + "/spool",
                              run_dir + "/cgi-bin", root, dir.path() + "/data"})
    mkdir(d.c_str(), 0755);
  if (symlink(opt.program.c_str(), (run_dir + "/cgi-bin/v2_upload").c_str()) != 0 ||
      symlink(REGISTRY_TRIVIAL_CGI, (run_dir + "/cgi-bin/bench_trivial_cgi").c_str()) != 0) {
    fprintf(stderr, "bench_http: cannot link the programs into %s/cgi-bin\n", run_dir.c_str());
    return 1;
  }

  // The blob as chunk files, one per PATCH, and its digest.
  std::vector<std::string> chunks;
  EVP_MD_CTX *md = EVP_MD_CTX_new();
  EVP_DigestInit_ex(md, EVP_sha256(), nullptr);
  std::vector<uint8_t> buf(1 << 20);
  for (int64_t off = 0, i = 0; off < opt.total; off += opt.chunk, i++) {
    const int64_t n = opt.total - off < opt.chunk ? opt.total - off : opt.chunk;
    const std::string path = dir.path() + "/data/chunk" + std::to_string(i);
    if (!bench::write_random_file(path, n, 100 + (uint64_t)i)) {
      fprintf(stderr, "bench_http: cannot write %s\n", path.c_str());
      return 1;
    }
    FILE *f = fopen(path.c_str(), "rb");
    for (size_t r; f && (r = fread(buf.data(), 1, buf.size(), f)) > 0;) EVP_DigestUpdate(md, buf.data(), r);
    if (f) fclose(f);
    chunks.push_back(path);
  }
  uint8_t out[32];
  unsigned out_len = 0;
  EVP_DigestFinal_ex(md, out, &out_len);
  EVP_MD_CTX_free(md);
  const std::string digest = bench::hex_digest(out);

  Server srv;
  srv.port = free_port();
  const std::string conf = run_dir + "/lighttpd.conf";
  if (srv.port < 0 || !write_config(conf, run_dir, root, srv.port) || !start_server(opt, conf, run_dir + "/lighttpd.log", &srv))
    return 1;

  const Command version = run({opt.lighttpd, "-v"});
  printf("bench_http: %s; %s", bench::machine_description().c_str(),
         version.out.empty() ? "lighttpd\n" : version.out.c_str());
  printf("MB = 10^6 bytes; floor: write the same bytes to a file in the same file system, hash "
         "it once with OpenSSL\n\n");

  auto floor_seconds = [&] {
    std::string problem;
    const double t = bench::measure_floor(chunks, dir.path() + "/floor", digest, &problem).seconds;
    if (!problem.empty()) fail(problem);
    return t;
  };
  const double floor1 = floor_seconds();
  const Upload up = upload(opt, srv.port, chunks, digest, root);
  const double floor2 = floor_seconds();
  const double floor_t = floor1 > 0 && floor1 < floor2 ? floor1 : floor2;
  if (up.ok) {
    printf("upload of %s, PATCHes of %s, curl -> lighttpd -> v2_upload: %.3f s, %.0f MB/s, "
           "%.3f x floor (%.3f s)\n",
           bench::size_name(opt.total).c_str(), bench::size_name(opt.chunk).c_str(), up.seconds,
           bench::mb_per_s((double)opt.total, up.seconds), up.seconds / floor_t, floor_t);
  }

  // A session for the GETs; the GET itself never looks at it.
  Command post = run({opt.curl, "-s", "-i", "-X", "POST", "-H", "Content-Length: 0",
                      "http://127.0.0.1:" + std::to_string(srv.port) + "/v2/bench/app/blobs/uploads/"});
  const std::string id = bench::header_value(post.out, "Docker-Upload-UUID");
  if (id.size() != 36) fail("POST for the GET session answered: " + post.out.substr(0, 300));
  const std::string upload_path = "/v2/bench/app/blobs/uploads/" + id;
  double trivial = 0, session = 0;
  for (int round = 0; round < 2 && id.size() == 36; round++) {
    trivial += requests_per_second(opt, srv.port, "/bench-trivial") / 2;
    session += requests_per_second(opt, srv.port, upload_path) / 2;
  }
  srv.stop();
  if (trivial > 0) {
    printf("GET requests/s, %d keep-alive clients, 2 x %.1f s each: upload session %.0f, trivial "
           "CGI %.0f, ratio %.3f (goal >= 0.8)\n",
           opt.clients, opt.seconds, session, trivial, session / trivial);
  }
  return bench::exit_status("bench_http");
}
