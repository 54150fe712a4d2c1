// Test helpers shared by every test program.
#ifndef REGISTRY_TEST_SUPPORT_H
#define REGISTRY_TEST_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  // path() + "/" + rel
  std::string sub(const std::string &rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Whole-file helpers; read_all gives "" for a missing file (check exists()).
std::string read_all(const std::string &path);
void write_all(const std::string &path, const std::string &data);
bool exists(const std::string &path);
bool is_dir(const std::string &path);
// Creates the directory and its parents.
void make_dirs(const std::string &path);
// Names in a directory (no "." and ".."), sorted; empty when absent.
std::vector<std::string> list_names(const std::string &path);
// Every regular file below `root`, as paths relative to it, sorted.
std::vector<std::string> list_tree(const std::string &root);
void remove_tree(const std::string &path);

// What a child process did.
struct ChildResult {
  std::string out;     // everything written to standard output
  std::string err;     // everything written to standard error
  int exit_code = -1;  // exit status, or -1 when it did not exit normally
  int signal = 0;      // the signal that ended it, or 0
};

// Runs `fn` in a forked child with standard output and error captured (and
// standard input from `stdin_data`). A child whose fn returns exits with 0.
// `env` entries are set in the child before fn runs (an empty value unsets).
ChildResult run_in_child(const std::function<void()> &fn,
                         const std::map<std::string, std::string> &env = {},
                         const std::string &stdin_data = "");

// Runs the program `path` with exactly the environment `env` (no PATH unless
// given), in directory `cwd` (empty: the current one), standard input taken
// from `stdin_file` (empty: from the bytes `stdin_data`).
ChildResult run_program(const std::string &path, const std::vector<std::string> &args,
                        const std::map<std::string, std::string> &env,
                        const std::string &stdin_data = "", const std::string &cwd = "",
                        const std::string &stdin_file = "");

// `n` bytes of the xorshift stream numbered `stream`: no short pattern
// repeats, so a piece of them appended twice, dropped or moved shows, and
// different streams give different bytes.
std::string varied_bytes(size_t n, uint32_t stream = 0);

// SHA-256 of bytes as "sha256:<64 hex>", computed by OpenSSL's libcrypto,
// independently of the registry's own digest engine.
std::string sha256_digest(const std::string &data);

}  // namespace testsupport

#endif
