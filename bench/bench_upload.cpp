// bench_upload: a whole blob upload driven straight through the upload
// endpoint program, one CGI process per request as a web server would start
// it (fork and exec with a clean environment, no web server), against the
// floor of the same work done directly.
//
//   bench_upload [--total SIZE] [--chunks S1,S2,...] [--reps N] [--dir DIR] [--program PATH]
//                [--smoke]
//
// For each chunk size S (default 1M,64M,1G): POST opens a session, PATCHes
// of S bytes (the body fed on standard input from the data file, at the
// chunk's offset) append TOTAL bytes (default 1 GiB), and PUT with the digest
// completes it. The floor is what the upload cannot avoid: writing the same
// bytes to a file in the same file system and hashing that file once with
// OpenSSL. The floor and the uploads take turns, N rounds (default 2), and
// each line shows its best round (its peak RSS the largest of all rounds).
// Printed per line: seconds, MB/s, ratio to the floor, and the peak
// resident set of the CGI processes (wait4's ru_maxrss, the largest of the
// run's processes). Wall-clock time is what a client sees; CPU time (user
// and system; the CGI processes' from wait4, the floor's from this process)
// is also shown, as it holds steady when other work shares the machine.
// Every run is checked: statuses, the digest the endpoint
// reports, and the stored blob's size; any failure exits 1.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "bench_util.h"

#ifndef REGISTRY_V2_UPLOAD
#define REGISTRY_V2_UPLOAD "v2_upload"
#endif

namespace {

struct Options {
  int64_t total = (int64_t)1 << 30;
  std::vector<int64_t> chunks = {(int64_t)1 << 20, (int64_t)64 << 20, (int64_t)1 << 30};
  std::string dir;
  std::string program = REGISTRY_V2_UPLOAD;
  int reps = 2;
  bool smoke = false;
};

[[noreturn]] void usage() {
  fprintf(stderr,
          "usage: bench_upload [--total SIZE] [--chunks S1,S2,...] [--reps N] [--dir DIR] "
          "[--program PATH] [--smoke]\n  sizes take K, M, G suffixes (powers of 1024)\n");
  exit(2);
}

std::vector<int64_t> parse_list(const std::string &text) {
  std::vector<int64_t> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    int64_t v = bench::parse_size(text.substr(pos, comma - pos));
    if (v <= 0) usage();
    out.push_back(v);
    pos = comma + 1;
  }
  return out;
}

Options parse_args(int argc, char **argv) {
  Options o;
  bench::Args args(argc, argv, usage);
  while (args.next()) {
    if (args.is("--smoke")) {
      // Odd sizes: the last chunk is short, and one run sends it all at once.
      o.smoke = true;
      o.total = (3 << 20) + 12345;
      o.chunks = {(int64_t)1 << 20, (int64_t)1 << 30};
      o.reps = 1;
    } else if (args.is("--total")) {
      o.total = args.size(0);
    } else if (args.is("--chunks")) {
      o.chunks = parse_list(args.text());
    } else if (args.is("--reps")) {
      o.reps = args.count(1);
    } else if (args.is("--dir")) {
      o.dir = args.text();
    } else if (args.is("--program")) {
      o.program = args.text();
    } else {
      args.unknown();
    }
  }
  return o;
}

void fail(const std::string &what) { bench::fail("bench_upload", what); }

struct RunResult {
  double seconds = 0;
  double cpu_seconds = 0;
  long max_rss_kib = 0;
  int requests = 0;
  bool ok = false;
};

const char *const kRepo = "bench/app";

std::map<std::string, std::string> cgi_env(const std::string &root, const char *method,
                                           const std::string &path_info,
                                           const std::string &query, int64_t length) {
  std::map<std::string, std::string> env = {
      {"GATEWAY_INTERFACE", "CGI/1.1"},
      {"SERVER_PROTOCOL", "HTTP/1.1"},
      {"REQUEST_METHOD", method},
      {"PATH_INFO", path_info},
      {"QUERY_STRING", query},
      {"REGISTRY_STORAGE_ROOT", root},
  };
  if (length >= 0) env["CONTENT_LENGTH"] = std::to_string(length);
  return env;
}

// One upload of the data file in chunks of `chunk` bytes into a fresh
// storage root; timed from the POST's start to the PUT's end.
RunResult upload(const Options &opt, const std::string &data, const std::string &digest,
                 const std::string &root, int64_t chunk) {
  RunResult r;
  auto note = [&](const bench::ChildRun &c) {
    r.requests++;
    r.cpu_seconds += c.cpu_seconds;
    if (c.max_rss_kib > r.max_rss_kib) r.max_rss_kib = c.max_rss_kib;
  };
  const std::string base = std::string("/v2/") + kRepo + "/blobs/uploads/";
  const double start = bench::now();

  bench::ChildRun post = bench::run_cgi(opt.program, cgi_env(root, "POST", base, "", 0));
  note(post);
  const std::string id = bench::header_value(post.out, "Docker-Upload-UUID");
  if (bench::status_code(post.out) != 202 || id.size() != 36) {
    fail("POST answered: " + post.out.substr(0, 200));
    return r;
  }
  for (int64_t off = 0; off < opt.total; off += chunk) {
    const int64_t n = opt.total - off < chunk ? opt.total - off : chunk;
    bench::ChildRun patch =
        bench::run_cgi(opt.program, cgi_env(root, "PATCH", base + id, "", n), data, off);
    note(patch);
    if (bench::status_code(patch.out) != 202) {
      fail("PATCH at offset " + std::to_string(off) + " answered: " + patch.out.substr(0, 200));
      return r;
    }
  }
  bench::ChildRun put =
      bench::run_cgi(opt.program, cgi_env(root, "PUT", base + id, "digest=" + digest, 0));
  note(put);
  r.seconds = bench::now() - start;
  if (bench::status_code(put.out) != 201 ||
      bench::header_value(put.out, "Docker-Content-Digest") != digest) {
    fail("PUT answered: " + put.out.substr(0, 300));
    return r;
  }
  const std::string hex = digest.substr(7);
  const std::string blob = root + "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex;
  struct stat st;
  if (stat(blob.c_str(), &st) != 0 || st.st_size != opt.total) {
    fail("the stored blob " + blob + " is missing or has the wrong size");
    return r;
  }
  r.ok = true;
  return r;
}

}  // namespace

int main(int argc, char **argv) {
  const Options opt = parse_args(argc, argv);
  struct stat st;
  if (stat(opt.program.c_str(), &st) != 0) {
    fprintf(stderr, "bench_upload: no endpoint program at %s\n", opt.program.c_str());
    return 1;
  }
  bench::TempDir dir(opt.dir);
  const std::string data = dir.path() + "/data";
  if (!bench::write_random_file(data, opt.total, 3)) {
    fprintf(stderr, "bench_upload: cannot write %s\n", data.c_str());
    return 1;
  }
  const std::string digest = bench::openssl_file_digest(data, 1 << 20);

  printf("bench_upload: %s; %s uploaded through %s; MB = 10^6 bytes\n",
         bench::machine_description().c_str(), bench::size_name(opt.total).c_str(),
         opt.program.c_str());
  printf("floor: write the same bytes to a file in the same file system, hash it once with "
         "OpenSSL\nbest of %d rounds; CPU s: user + system of the CGI processes, or of the floor\n\n",
         opt.reps);

  // Rounds of the floor and every upload in turn; each keeps its best.
  auto keep_best = [](double *best, double t) {
    if (t > 0 && (*best <= 0 || t < *best)) *best = t;
  };
  bench::Floor floor;
  struct Line {
    int64_t chunk;
    RunResult r;
  };
  std::vector<Line> lines;
  for (int64_t c : opt.chunks) lines.push_back(Line{c, RunResult{}});
  for (int rep = 0; rep < opt.reps; rep++) {
    std::string problem;
    const bench::Floor f = bench::measure_floor({data}, dir.path() + "/floor", digest, &problem);
    if (!problem.empty()) fail(problem);
    keep_best(&floor.seconds, f.seconds);
    keep_best(&floor.cpu_seconds, f.cpu_seconds);
    for (size_t i = 0; i < lines.size(); i++) {
      const std::string root = dir.path() + "/storage" + std::to_string(i);
      const RunResult r = upload(opt, data, digest, root, lines[i].chunk);
      bench::remove_tree(root);
      RunResult &best = lines[i].r;
      if (!r.ok) continue;
      best.ok = true;
      best.requests = r.requests;
      keep_best(&best.seconds, r.seconds);
      keep_best(&best.cpu_seconds, r.cpu_seconds);
      if (r.max_rss_kib > best.max_rss_kib) best.max_rss_kib = r.max_rss_kib;
    }
  }

  printf("%-16s %9s %9s %8s %9s %9s %9s %14s\n", "run", "requests", "seconds", "MB/s",
         "x floor", "CPU s", "CPU x fl", "peak RSS KiB");
  printf("%-16s %9s %9.3f %8.0f %9.3f %9.3f %9.3f %14s\n", "floor", "-", floor.seconds,
         bench::mb_per_s((double)opt.total, floor.seconds), 1.0, floor.cpu_seconds, 1.0, "-");
  long worst_rss = 0;
  for (const Line &l : lines) {
    std::string label = "PATCH " + bench::size_name(l.chunk);
    if (!l.r.ok) {
      printf("%-16s failed\n", label.c_str());
      continue;
    }
    if (l.r.max_rss_kib > worst_rss) worst_rss = l.r.max_rss_kib;
    printf("%-16s %9d %9.3f %8.0f %9.3f %9.3f %9.3f %14ld\n", label.c_str(), l.r.requests,
           l.r.seconds, bench::mb_per_s((double)opt.total, l.r.seconds),
           floor.seconds > 0 ? l.r.seconds / floor.seconds : 0.0, l.r.cpu_seconds,
           floor.cpu_seconds > 0 ? l.r.cpu_seconds / floor.cpu_seconds : 0.0, l.r.max_rss_kib);
  }
  printf("\ngoals: S = 64 MiB at <= 1.3 x the floor's time; peak RSS of every CGI process "
         "< 16384 KiB (largest here: %ld KiB)\n",
         worst_rss);
  return bench::exit_status("bench_upload");
}
