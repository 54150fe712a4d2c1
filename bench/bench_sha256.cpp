// bench_sha256: throughput of the digest engine, each of its compression
// functions, against OpenSSL's SHA-256 in the same run, over in-memory
// buffers and over a file.
//
//   bench_sha256 [--file-size SIZE] [--seconds S] [--reps N] [--dir DIR] [--wall] [--smoke]
//
// Every buffer measurement repeats whole messages (init, update, final) for
// about S seconds (default 0.5). The file (default 1 GiB, pseudo-random) is
// written once into a temporary directory under DIR and hashed N times per
// method (default 3, the methods taking turns), the best time counts; it is
// read warm from the page cache, so the figure is hashing plus copying out of
// the cache, not disk speed. Times are this process's CPU time (user and
// system), so that other load on a shared machine does not distort the
// comparison; --wall takes wall-clock time instead. --smoke runs everything
// tiny and only checks that the digests agree. The program exits 1 when any
// two methods disagree on a digest.
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "sha256.h"
#include "sha256_engine.h"

namespace {

struct Options {
  int64_t file_size = (int64_t)1 << 30;
  double seconds = 0.5;
  int reps = 3;
  std::string dir;
  bool smoke = false;
  bool wall = false;
};

double clock_now(const Options &o) { return o.wall ? bench::now() : bench::cpu_now(); }

void usage() {
  fprintf(stderr,
          "usage: bench_sha256 [--file-size SIZE] [--seconds S] [--reps N] [--dir DIR] [--wall] "
          "[--smoke]\n"
          "  SIZE takes K, M, G suffixes (powers of 1024)\n");
  exit(2);
}

Options parse_args(int argc, char **argv) {
  Options o;
  bench::Args args(argc, argv, usage);
  while (args.next()) {
    if (args.is("--smoke")) {
      o.smoke = true;
      o.file_size = (1 << 20) + 17;
      o.seconds = 0.01;
      o.reps = 1;
    } else if (args.is("--file-size")) {
      o.file_size = args.size(0);
    } else if (args.is("--seconds")) {
      o.seconds = args.seconds();
    } else if (args.is("--reps")) {
      o.reps = args.count(1);
    } else if (args.is("--wall")) {
      o.wall = true;
    } else if (args.is("--dir")) {
      o.dir = args.text();
    } else {
      args.unknown();
    }
  }
  return o;
}

// The methods compared: our engine on a given compression function, or
// OpenSSL (the EVP interface with a pre-fetched algorithm, context reused).
enum Method { OURS_SHA_NI, OURS_PORTABLE, OPENSSL, METHOD_COUNT };
const char *const kMethodNames[METHOD_COUNT] = {"ours sha-ni", "ours portable", "OpenSSL"};

EVP_MD *s_evp_md;
EVP_MD_CTX *s_evp_ctx;

// Selects our engine's compression function; false when not available.
bool select_method(Method m) {
  if (m == OPENSSL) return true;
  sha256_force_portable(m == OURS_PORTABLE);
  return std::string(sha256_engine_name()) == (m == OURS_PORTABLE ? "portable" : "sha-ni");
}

// One whole message: init, update, final.
void hash_once(Method m, const uint8_t *msg, size_t len, uint8_t out[32]) {
  if (m == OPENSSL) {
    unsigned n = 0;
    EVP_DigestInit_ex(s_evp_ctx, s_evp_md, nullptr);
    EVP_DigestUpdate(s_evp_ctx, msg, len);
    EVP_DigestFinal_ex(s_evp_ctx, out, &n);
  } else {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, msg, len);
    sha256_final(&ctx, out);
  }
}

// MB/s of hashing whole messages of `len` bytes for about `seconds`.
double bench_buffer(const Options &opt, Method m, const uint8_t *msg, size_t len,
                    std::string *digest) {
  uint8_t out[32];
  hash_once(m, msg, len, out);
  *digest = bench::hex_digest(out);
  // Batches of about a millisecond keep clock reads out of the figure.
  const size_t batch = 1 + (size_t)(1e6 / (double)(len + 64));
  size_t done = 0;
  const double start = clock_now(opt);
  double elapsed = 0;
  do {
    for (size_t i = 0; i < batch; i++) hash_once(m, msg, len, out);
    done += batch;
    elapsed = clock_now(opt) - start;
  } while (elapsed < opt.seconds);
  return bench::mb_per_s((double)done * (double)len, elapsed);
}

// Our engine over a file with stdio reads of `read_size` bytes, the way
// sha256_file does it but with a chosen read size.
std::string ours_file_digest(const std::string &path, size_t read_size) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return "";
  std::unique_ptr<uint8_t[]> buf(new uint8_t[read_size]);
  sha256_ctx ctx;
  sha256_init(&ctx);
  size_t n;
  while ((n = fread(buf.get(), 1, read_size, f)) > 0) sha256_update(&ctx, buf.get(), n);
  bool failed = ferror(f) != 0;
  fclose(f);
  uint8_t out[32];
  sha256_final(&ctx, out);
  return failed ? "" : bench::hex_digest(out);
}

// MB/s of one pass over the file; read_size 0 means sha256_file itself
// (64 KiB reads).
double bench_file(const Options &opt, Method m, const std::string &path, size_t read_size,
                  std::string *digest) {
  const double start = clock_now(opt);
  if (m == OPENSSL) {
    *digest = bench::openssl_file_digest(path, read_size ? read_size : 0x10000);
  } else if (read_size == 0) {
    uint8_t out[32];
    *digest = sha256_file(path.c_str(), out) == 0 ? bench::hex_digest(out) : "";
  } else {
    *digest = ours_file_digest(path, read_size);
  }
  return bench::mb_per_s((double)opt.file_size, clock_now(opt) - start);
}

struct Row {
  std::string label;
  double rate[METHOD_COUNT] = {};  // MB/s; 0 when not measured
  std::string digest[METHOD_COUNT];
};

void check_row(const Row &row) {
  std::string ref = row.digest[OPENSSL];
  for (int m = 0; m < METHOD_COUNT; m++) {
    if (row.rate[m] > 0 && (row.digest[m].empty() || row.digest[m] != ref)) {
      bench::fail("bench_sha256", row.label + ": " + kMethodNames[m] + " gives " +
                                      (row.digest[m].empty() ? "an error" : row.digest[m]) +
                                      ", OpenSSL " + ref);
    }
  }
}

void print_table(const std::vector<Row> &rows, bool have_ni) {
  printf("%-36s %12s %14s %12s %15s %17s\n", "input", "sha-ni MB/s", "portable MB/s", "OpenSSL MB/s",
         "sha-ni/OpenSSL", "portable/OpenSSL");
  for (const Row &r : rows) {
    char ni[32] = "-", ni_ratio[32] = "-";
    if (have_ni) {
      snprintf(ni, sizeof ni, "%.0f", r.rate[OURS_SHA_NI]);
      snprintf(ni_ratio, sizeof ni_ratio, "%.3f", r.rate[OURS_SHA_NI] / r.rate[OPENSSL]);
    }
    printf("%-36s %12s %14.0f %12.0f %15s %17.3f\n", r.label.c_str(), ni, r.rate[OURS_PORTABLE],
           r.rate[OPENSSL], ni_ratio, r.rate[OURS_PORTABLE] / r.rate[OPENSSL]);
  }
}

}  // namespace

int main(int argc, char **argv) {
  const Options opt = parse_args(argc, argv);
  s_evp_md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  s_evp_ctx = EVP_MD_CTX_new();
  if (!s_evp_md || !s_evp_ctx) {
    fprintf(stderr, "bench_sha256: OpenSSL has no SHA-256\n");
    return 1;
  }
  sha256_force_portable(0);
  const std::string default_engine = sha256_engine_name();
  const bool have_ni = select_method(OURS_SHA_NI);
  const Method methods[] = {OURS_SHA_NI, OURS_PORTABLE, OPENSSL};

  printf("bench_sha256: %s; engine chosen by default: %s; MB = 10^6 bytes\n",
         bench::machine_description().c_str(), default_engine.c_str());
  printf("%s time; buffers: whole messages repeated for %.2f s each; file: best of %d, warm "
         "page cache\n\n",
         opt.wall ? "wall-clock" : "process CPU", opt.seconds, opt.reps);

  std::vector<Row> rows;
  const size_t buffer_sizes[] = {64, 4096, 1 << 20};
  std::vector<uint8_t> buf(1 << 20);
  bench::fill_random(buf.data(), buf.size(), 1);
  for (size_t len : buffer_sizes) {
    Row row;
    row.label = bench::size_name((int64_t)len) + " buffer";
    for (Method m : methods) {
      if (!select_method(m)) continue;
      row.rate[m] = bench_buffer(opt, m, buf.data(), len, &row.digest[m]);
    }
    check_row(row);
    rows.push_back(row);
  }

  bench::TempDir dir(opt.dir);
  const std::string path = dir.path() + "/data";
  if (!bench::write_random_file(path, opt.file_size, 2)) {
    fprintf(stderr, "bench_sha256: cannot write %s\n", path.c_str());
    return 1;
  }
  const std::string fname = bench::size_name(opt.file_size) + " file";
  struct FileCase {
    std::string label;
    size_t read_size;  // 0: sha256_file (64 KiB reads); OpenSSL then reads 64 KiB too
  };
  const FileCase file_cases[] = {
      {fname + ", sha256_file (64 KiB)", 0},
      {fname + ", 1 MiB reads", 1 << 20},
      {fname + ", 8 MiB reads", 8 << 20},
  };
  for (const FileCase &fc : file_cases) {
    Row row;
    row.label = fc.label;
    for (int r = 0; r < opt.reps; r++) {
      for (Method m : methods) {
        if (!select_method(m)) continue;
        const double rate = bench_file(opt, m, path, fc.read_size, &row.digest[m]);
        if (rate > row.rate[m]) row.rate[m] = rate;
      }
    }
    check_row(row);
    rows.push_back(row);
  }
  sha256_force_portable(0);

  print_table(rows, have_ni);
  if (have_ni) {
    const Row &f = rows[3];
    printf("\nsha256_file on the %s: %.3f x OpenSSL with the same 64 KiB reads (goal >= 0.95)\n",
           fname.c_str(), f.rate[OURS_SHA_NI] / f.rate[OPENSSL]);
  }
  EVP_MD_CTX_free(s_evp_ctx);
  EVP_MD_free(s_evp_md);
  return bench::exit_status("bench_sha256");
}
