#include "bench_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <stdexcept>

namespace bench {

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

int64_t parse_size(const std::string &text) {
  if (text.empty()) return -1;
  char *end = nullptr;
  errno = 0;
  long long v = strtoll(text.c_str(), &end, 10);
  if (errno || end == text.c_str() || v < 0) return -1;
  int shift = 0;
  if (*end) {
    switch (*end) {
      case 'k': case 'K': shift = 10; break;
      case 'm': case 'M': shift = 20; break;
      case 'g': case 'G': shift = 30; break;
      default: return -1;
    }
    if (end[1] && strcmp(end + 1, "iB") != 0 && strcmp(end + 1, "B") != 0) return -1;
  }
  if (v > (INT64_MAX >> shift)) return -1;
  return (int64_t)v << shift;
}

std::string size_name(int64_t bytes) {
  static const struct {
    int shift;
    const char *unit;
  } units[] = {{30, "GiB"}, {20, "MiB"}, {10, "KiB"}};
  for (const auto &u : units) {
    if (bytes >= (int64_t)1 << u.shift && bytes % ((int64_t)1 << u.shift) == 0)
      return std::to_string(bytes >> u.shift) + " " + u.unit;
  }
  return std::to_string(bytes) + " B";
}

double mb_per_s(double bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0; }

TempDir::TempDir(const std::string &parent) {
  std::string base = parent;
  if (base.empty()) {
    const char *t = getenv("TMPDIR");
    base = t && *t ? t : "/tmp";
  }
  std::string tmpl = base + "/registry-bench-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("cannot create a directory under " + base);
  path_ = buf.data();
}

TempDir::~TempDir() { remove_tree(path_); }

void remove_tree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR *d = opendir(path.c_str())) {
      while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        remove_tree(path + "/" + e->d_name);
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void fill_random(void *buf, size_t len, uint64_t seed) {
  // splitmix64: fast, and every block differs from every other.
  uint64_t x = seed * 0x9e3779b97f4a7c15ULL + 1;
  uint8_t *p = static_cast<uint8_t *>(buf);
  while (len > 0) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    size_t n = len < 8 ? len : 8;
    memcpy(p, &z, n);
    p += n;
    len -= n;
  }
}

bool write_random_file(const std::string &path, int64_t size, uint64_t seed) {
  const size_t piece = 1 << 20;
  std::unique_ptr<uint8_t[]> buf(new uint8_t[piece]);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  for (int64_t off = 0, i = 0; ok && off < size; off += (int64_t)piece, i++) {
    size_t n = size - off < (int64_t)piece ? (size_t)(size - off) : piece;
    fill_random(buf.get(), n, seed * 1000003 + (uint64_t)i);
    ok = write(fd, buf.get(), n) == (ssize_t)n;
  }
  return close(fd) == 0 && ok;
}

std::string hex_digest(const uint8_t md[32]) {
  static const char hex[] = "0123456789abcdef";
  std::string s = "sha256:";
  for (int i = 0; i < 32; i++) {
    s += hex[md[i] >> 4];
    s += hex[md[i] & 15];
  }
  return s;
}

std::string openssl_file_digest(const std::string &path, size_t read_size) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return "";
  std::unique_ptr<uint8_t[]> buf(new uint8_t[read_size]);
  EVP_MD *md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, md, nullptr);
  size_t n;
  while ((n = fread(buf.get(), 1, read_size, f)) > 0) EVP_DigestUpdate(ctx, buf.get(), n);
  bool failed = ferror(f) != 0;
  fclose(f);
  uint8_t out[32];
  unsigned len = 0;
  EVP_DigestFinal_ex(ctx, out, &len);
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  return failed ? "" : hex_digest(out);
}

std::string machine_description() {
  std::string model = "unknown CPU";
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0) {
      size_t colon = line.find(':');
      if (colon != std::string::npos) model = line.substr(colon + 2);
      break;
    }
  }
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  return model + ", " + std::to_string(cpus) + (cpus == 1 ? " CPU" : " CPUs");
}

ChildRun run_cgi(const std::string &program, const std::map<std::string, std::string> &env,
                 const std::string &stdin_path, int64_t stdin_offset) {
  int out_p[2];
  if (pipe(out_p) != 0) throw std::runtime_error("pipe failed");
  int in_fd = open(stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY);
  if (in_fd < 0) throw std::runtime_error("cannot open " + stdin_path);
  if (stdin_offset > 0 && lseek(in_fd, stdin_offset, SEEK_SET) != stdin_offset)
    throw std::runtime_error("cannot seek in " + stdin_path);

  std::vector<std::string> env_strings;
  for (const auto &[k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<char *> envp;
  for (auto &s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string prog = program;
  char *argv[] = {prog.data(), nullptr};

  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_fd, 0);
    dup2(out_p[1], 1);
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) dup2(null_fd, 2);
    close(out_p[0]);
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  close(in_fd);
  close(out_p[1]);
  ChildRun r;
  char buf[4096];
  for (ssize_t n; (n = read(out_p[0], buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    r.out.append(buf, (size_t)n);
  }
  close(out_p[0]);
  int status = 0;
  rusage ru{};
  while (wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.max_rss_kib = ru.ru_maxrss;
  r.cpu_seconds = (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec * 1e-6 +
                  (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec * 1e-6;
  return r;
}

std::string header_value(const std::string &head, const std::string &name) {
  size_t pos = 0;
  while (pos < head.size()) {
    size_t eol = head.find('\n', pos);
    if (eol == std::string::npos) eol = head.size();
    std::string line = head.substr(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    if (line.size() > name.size() && line[name.size()] == ':' &&
        strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
      size_t v = name.size() + 1;
      while (v < line.size() && line[v] == ' ') v++;
      return line.substr(v);
    }
    pos = eol + 1;
  }
  return "";
}

int status_code(const std::string &head) {
  std::string s = header_value(head, "Status");
  if (!s.empty()) return atoi(s.c_str());
  if (head.rfind("HTTP/", 0) == 0) {
    size_t sp = head.find(' ');
    if (sp != std::string::npos) return atoi(head.c_str() + sp + 1);
  }
  return 0;
}

Floor measure_floor(const std::vector<std::string> &parts, const std::string &copy,
                    const std::string &digest, std::string *problem) {
  problem->clear();
  Floor f;
  const double start = now(), cpu_start = cpu_now();
  int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) {
    *problem = "cannot write " + copy;
    return f;
  }
  std::unique_ptr<uint8_t[]> buf(new uint8_t[1 << 20]);
  bool ok = true;
  for (const std::string &part : parts) {
    int in = open(part.c_str(), O_RDONLY);
    ok = in >= 0;
    for (ssize_t n; ok && (n = read(in, buf.get(), 1 << 20)) != 0;)
      ok = n > 0 && write(out, buf.get(), (size_t)n) == n;
    if (in >= 0) close(in);
    if (!ok) break;
  }
  if (close(out) != 0 || !ok) {
    *problem = "cannot write " + copy;
    remove_tree(copy);
    return f;
  }
  const std::string got = openssl_file_digest(copy, 1 << 20);
  f.seconds = now() - start;
  f.cpu_seconds = cpu_now() - cpu_start;
  if (got != digest) *problem = "the floor's copy hashes to " + got;
  remove_tree(copy);
  return f;
}

std::string Args::text() {
  if (i_ + 1 >= argc_) unknown();
  return argv_[++i_];
}

int64_t Args::size(int64_t min) {
  const int64_t v = parse_size(text());
  if (v < min) unknown();
  return v;
}

double Args::seconds() {
  const double v = atof(text().c_str());
  if (v <= 0) unknown();
  return v;
}

int Args::count(int min) {
  const int v = atoi(text().c_str());
  if (v < min) unknown();
  return v;
}

void Args::unknown() const {
  usage_();
  exit(2);
}

namespace {
int s_failures;
}  // namespace

void fail(const char *prog, const std::string &what) {
  fprintf(stderr, "%s: %s\n", prog, what.c_str());
  s_failures++;
}

int exit_status(const char *prog) {
  if (s_failures == 0) return 0;
  fprintf(stderr, "%s: %d failed checks\n", prog, s_failures);
  return 1;
}

}  // namespace bench
