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

// Writes `size` bytes of `src` from `offset` into a new file `dst`, in
// pieces of `piece` bytes; false on failure.
bool copy_range(const std::string &src, int64_t offset, int64_t size,
                        const std::string &dst, size_t piece);

}  // namespace bench

#endif
