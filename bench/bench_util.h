// Helpers shared by the benchmark programs: clocks, sizes, temporary
// directories, test data files, the machine's description, reference hashing
// with OpenSSL, and running a program as a CGI child.
#ifndef REGISTRY_BENCH_UTIL_H
#define REGISTRY_BENCH_UTIL_H

#include <stdint.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

// Monotonic clock in seconds.
double now();
// CPU time of this process (user and system, all threads) in seconds: what
// a measurement costs regardless of other load on the machine.
double cpu_now();

// "64", "4K", "1M", "1G" (powers of 1024) to bytes; -1 when malformed.
int64_t parse_size(const std::string &text);
// Bytes as "64 B", "4 KiB", "1 MiB", "1 GiB" (exact multiples), else bytes.
std::string size_name(int64_t bytes);
// Bytes per second in MB/s (10^6 bytes).
double mb_per_s(double bytes, double seconds);

// A fresh directory under `parent` (or $TMPDIR, or /tmp when empty), removed
// with its contents when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string &parent = "");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};
void remove_tree(const std::string &path);

// Fills buf with pseudo-random bytes from a stream numbered `seed`.
void fill_random(void *buf, size_t len, uint64_t seed);
// Writes a file of `size` pseudo-random bytes; false on failure.
bool write_random_file(const std::string &path, int64_t size, uint64_t seed);

// OpenSSL SHA-256 of a file read in pieces of `read_size` bytes with stdio,
// as "sha256:<64 hex>"; "" on failure.
std::string openssl_file_digest(const std::string &path, size_t read_size);
// 32 digest bytes as "sha256:<64 hex>".
std::string hex_digest(const uint8_t md[32]);

// "AMD EPYC, 2 CPUs" from /proc/cpuinfo and the online CPU count.
std::string machine_description();

// One finished child process.
struct ChildRun {
  int status = -1;          // exit status, or -1 when ended by a signal
  long max_rss_kib = 0;     // peak resident set (wait4's ru_maxrss), KiB
  double cpu_seconds = 0;   // user and system CPU time (wait4's rusage)
  std::string out;          // standard output
};

// Runs `program` with exactly `env` (nothing inherited), standard input from
// the file `stdin_path` starting at `stdin_offset` (or /dev/null when empty),
// standard output captured, standard error discarded.
ChildRun run_cgi(const std::string &program, const std::map<std::string, std::string> &env,
                 const std::string &stdin_path = "", int64_t stdin_offset = 0);

// Value of header `name` in a CGI or HTTP head ("" when absent); status code
// from the "Status:" line or the HTTP status line (0 when absent).
std::string header_value(const std::string &head, const std::string &name);
int status_code(const std::string &head);

// The floor an upload is measured against: the files `parts` written one
// after another into the new file `copy` (1 MiB reads and writes), then
// `copy` hashed once with OpenSSL, which must give `digest`. Wall-clock and
// CPU seconds of this process; `copy` is removed afterwards. *problem is
// left empty when all went right, else it says what failed.
struct Floor {
  double seconds = 0;
  double cpu_seconds = 0;
};
Floor measure_floor(const std::vector<std::string> &parts, const std::string &copy,
                    const std::string &digest, std::string *problem);

// A benchmark's command line, option by option. `usage` prints the
// program's usage and exits; it is called for a missing or malformed value
// and by unknown().
//
//   bench::Args args(argc, argv, usage);
//   while (args.next()) {
//     if (args.is("--total")) o.total = args.size(0);
//     else args.unknown();
//   }
class Args {
 public:
  Args(int argc, char **argv, void (*usage)()) : argc_(argc), argv_(argv), usage_(usage) {}
  // Moves to the next option; false when none is left.
  bool next() { return ++i_ < argc_; }
  bool is(const char *option) const { return option_() == option; }
  // The current option's value: the argument after it.
  std::string text();
  // A size with an optional K, M or G suffix, at least `min`.
  int64_t size(int64_t min);
  // A number of seconds above 0.
  double seconds();
  // A whole number of at least `min`.
  int count(int min);
  // For an option the program does not know.
  [[noreturn]] void unknown() const;

 private:
  std::string option_() const { return argv_[i_]; }
  int argc_;
  char **argv_;
  void (*usage_)();
  int i_ = 0;
};

// Failed checks of a benchmark's results (digests, statuses, sizes): each is
// reported on standard error, prefixed by the program's name, and counted.
void fail(const char *prog, const std::string &what);
// What main returns: 0, or 1 after saying how many checks failed.
int exit_status(const char *prog);

}  // namespace bench

#endif
