#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/regtest-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() { remove_tree(path_); }

std::string read_all(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void write_all(const std::string &path, const std::string &data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void make_dirs(const std::string &path) {
  for (size_t i = 1; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') {
      std::string p = path.substr(0, i);
      if (mkdir(p.c_str(), 0777) != 0 && errno != EEXIST)
        throw std::runtime_error("mkdir failed: " + p);
    }
  }
}

std::vector<std::string> list_names(const std::string &path) {
  std::vector<std::string> names;
  DIR *d = opendir(path.c_str());
  if (!d) return names;
  while (struct dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

static void walk(const std::string &root, const std::string &rel,
                 std::vector<std::string> &out) {
  std::string dir = rel.empty() ? root : root + "/" + rel;
  for (const auto &n : list_names(dir)) {
    std::string r = rel.empty() ? n : rel + "/" + n;
    struct stat st;
    if (lstat((root + "/" + r).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode))
      walk(root, r, out);
    else
      out.push_back(r);
  }
}

std::vector<std::string> list_tree(const std::string &root) {
  std::vector<std::string> out;
  walk(root, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

void remove_tree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    for (const auto &n : list_names(path)) remove_tree(path + "/" + n);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

namespace {

// Reads both pipes until they close; stdin data is written from a file so
// that large inputs never block the parent.
void drain(int out_fd, int err_fd, ChildResult &r) {
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open_fds = 2;
  char buf[65536];
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_fds--;
      }
    }
  }
}

void finish(pid_t pid, ChildResult &r) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
}

// An unlinked temporary file holding `data`, positioned at its start.
int stdin_fd_for(const std::string &data) {
  char name[] = "/tmp/regtest-stdin-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  unlink(name);
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = write(fd, data.data() + off, data.size() - off);
    if (n <= 0) throw std::runtime_error("write failed");
    off += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// Forks a child with standard input read from `in_fd` (closed here) and
// standard output and error captured, runs `child` in it (which must not
// return), and collects what the child wrote and how it ended.
ChildResult spawn(int in_fd, const std::function<void()> &child) {
  int out_p[2], err_p[2];
  if (pipe(out_p) != 0 || pipe(err_p) != 0) throw std::runtime_error("pipe failed");
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_fd, 0);
    dup2(out_p[1], 1);
    dup2(err_p[1], 2);
    close(in_fd);
    close(out_p[0]);
    close(out_p[1]);
    close(err_p[0]);
    close(err_p[1]);
    child();
    _exit(127);
  }
  close(in_fd);
  close(out_p[1]);
  close(err_p[1]);
  ChildResult r;
  drain(out_p[0], err_p[0], r);
  finish(pid, r);
  return r;
}

}  // namespace

ChildResult run_in_child(const std::function<void()> &fn,
                         const std::map<std::string, std::string> &env,
                         const std::string &stdin_data) {
  return spawn(stdin_fd_for(stdin_data), [&] {
    for (const auto &[k, v] : env) {
      if (v.empty())
        unsetenv(k.c_str());
      else
        setenv(k.c_str(), v.c_str(), 1);
    }
    fn();
    fflush(nullptr);
    _exit(0);
  });
}

ChildResult run_program(const std::string &path, const std::vector<std::string> &args,
                        const std::map<std::string, std::string> &env,
                        const std::string &stdin_data, const std::string &cwd,
                        const std::string &stdin_file) {
  int in_fd = stdin_file.empty() ? stdin_fd_for(stdin_data) : open(stdin_file.c_str(), O_RDONLY);
  if (in_fd < 0) throw std::runtime_error("cannot open " + stdin_file);
  std::vector<std::string> envs;
  for (const auto &[k, v] : env) envs.push_back(k + "=" + v);
  std::vector<char *> envp, argv;
  for (auto &e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string prog = path;
  argv.push_back(prog.data());
  std::vector<std::string> a = args;
  for (auto &s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  return spawn(in_fd, [&] {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(prog.c_str(), argv.data(), envp.data());
    _exit(127);
  });
}

std::string varied_bytes(size_t n, uint32_t stream) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u ^ (stream * 0x9e3779b9u);
  if (x == 0) x = 1;  // the one state xorshift never leaves
  for (char &c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

std::string sha256_digest(const std::string &data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
  static const char *hex = "0123456789abcdef";
  std::string out = "sha256:";
  for (unsigned int i = 0; i < len; i++) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

}  // namespace testsupport
