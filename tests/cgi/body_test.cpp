// The request body: the whole-body reader and the streaming reader, from a
// body file or from standard input.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "tn_cgi.h"

namespace {

using testsupport::run_in_child;
using testsupport::TempDir;
using testsupport::write_all;

constexpr uint64_t k2G = 2147483648ULL;  // 2^31
constexpr uint64_t k4G = 4294967296ULL;  // 2^32

// A file of `size` bytes that takes no disk space (all zeros).
void make_sparse(const std::string &path, uint64_t size) {
  write_all(path, "");
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
}

// The files the body readers are pointed at: one holding `content`, an
// empty one, and a name with no file behind it.
struct BodyFiles {
  explicit BodyFiles(const std::string &content) {
    write_all(body, content);
    write_all(empty, "");
  }
  TempDir tmp;
  const std::string body = tmp.sub("body.bin");
  const std::string empty = tmp.sub("empty.bin");
  const std::string missing = tmp.sub("missing.bin");
};

// Runs `fn` in a child with the request's body variables: those `env` does
// not name are unset, so nothing leaks in from the test's own environment.
testsupport::ChildResult run_with_body(const std::function<void()> &fn,
                                       std::map<std::string, std::string> env,
                                       const std::string &stdin_data) {
  env.emplace("POST_BODY_FILE", "");
  env.emplace("CONTENT_LENGTH", "");
  return run_in_child(fn, env, stdin_data);
}

// In the child: calls cgi_read_post and prints what came back.
void print_read_post() {
  uint64_t n = 12345;
  char *b = cgi_read_post(&n);
  if (b == nullptr) {
    printf("null n=%llu", static_cast<unsigned long long>(n));
    return;
  }
  printf("buf n=%llu term=%d [", static_cast<unsigned long long>(n), b[n] == '\0');
  fwrite(b, 1, static_cast<size_t>(n), stdout);
  printf("]");
  free(b);
}

TEST(CgiReadPost, ReadsTheBodyFromTheBodyFileOrStandardInput) {
  const std::string binary("a\0b\r\nc\x1a\xff", 8);
  const BodyFiles files(binary);

  struct Case {
    const char *label;
    std::map<std::string, std::string> env;  // "" unsets
    std::string stdin_data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"no length", {{"CONTENT_LENGTH", ""}, {"POST_BODY_FILE", ""}}, "abc", "null n=0"},
      {"zero length", {{"CONTENT_LENGTH", "0"}}, "abc", "null n=0"},
      {"negative length", {{"CONTENT_LENGTH", "-5"}}, "abc", "null n=0"},
      {"not a number", {{"CONTENT_LENGTH", "abc"}}, "abc", "null n=0"},
      // A 32-bit cut of -4294967295 would be 1.
      {"large negative length", {{"CONTENT_LENGTH", "-4294967295"}}, "abc", "null n=0"},
      {"exact length", {{"CONTENT_LENGTH", "3"}}, "xyz", "buf n=3 term=1 [xyz]"},
      {"shorter stdin", {{"CONTENT_LENGTH", "10"}}, "abcd", "buf n=4 term=1 [abcd]"},
      {"longer stdin", {{"CONTENT_LENGTH", "3"}}, "abcdef", "buf n=3 term=1 [abc]"},
      {"text after the digits", {{"CONTENT_LENGTH", "5xyz"}}, "hello world",
       "buf n=5 term=1 [hello]"},
      {"binary stdin", {{"CONTENT_LENGTH", "8"}}, binary, "buf n=8 term=1 [" + binary + "]"},
      // Above 2^31 - 1 the length is 2147483647 (a 32-bit cut would be 2).
      {"length above 2^32", {{"CONTENT_LENGTH", std::to_string(k4G + 2)}}, "abc",
       "buf n=3 term=1 [abc]"},
      {"length beyond 64 bits", {{"CONTENT_LENGTH", "99999999999999999999999"}}, "abc",
       "buf n=3 term=1 [abc]"},
      {"body file wins over stdin",
       {{"POST_BODY_FILE", files.body}, {"CONTENT_LENGTH", "3"}}, "xyz",
       "buf n=8 term=1 [" + binary + "]"},
      {"body file without length", {{"POST_BODY_FILE", files.body}}, "",
       "buf n=8 term=1 [" + binary + "]"},
      {"empty body file", {{"POST_BODY_FILE", files.empty}, {"CONTENT_LENGTH", "3"}}, "xyz",
       "buf n=0 term=1 []"},
      {"missing body file falls back",
       {{"POST_BODY_FILE", files.missing}, {"CONTENT_LENGTH", "3"}}, "xyz", "buf n=3 term=1 [xyz]"},
      {"unmeasurable body file", {{"POST_BODY_FILE", files.tmp.path()}, {"CONTENT_LENGTH", "3"}},
       "xyz", "null n=0"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    auto r = run_with_body(print_read_post, c.env, c.stdin_data);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, c.expected);
  }
}

// The whole-body reader keeps lengths in 32 bits: a body file of 2^31 bytes
// or more is refused, never read in part (2^32 + 5 must not become 5).
TEST(CgiReadPost, RefusesBodyFilesOf2GiBOrMore) {
  TempDir tmp;
  for (uint64_t size : {k2G, k4G + 5}) {
    SCOPED_TRACE(size);
    const std::string path = tmp.sub("big.bin");
    make_sparse(path, size);
    auto r = run_in_child(print_read_post, {{"POST_BODY_FILE", path}, {"CONTENT_LENGTH", "3"}},
                          "xyz");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "null n=0");
  }
}

TEST(CgiReadPost, AcceptsANullCountPointer) {
  auto r = run_in_child(
      [] {
        char *b = cgi_read_post(nullptr);
        printf("%s", b ? b : "(null)");
        free(b);
      },
      {{"CONTENT_LENGTH", "2"}, {"POST_BODY_FILE", ""}}, "ok!");
  EXPECT_EQ(r.out, "ok");
}

// In the child: opens the body, reads it with pieces of at most `cap` bytes
// and prints "announced=N pieces=a,b,...|" followed by the bytes. A piece
// larger than cap is reported as an error.
void print_stream(size_t cap) {
  cgi_body body;
  memset(&body, 0xAB, sizeof body);  // prove cgi_body_open fills it
  uint64_t announced = 777;
  cgi_body_open(&body, &announced);
  std::string data, pieces;
  std::vector<char> buf(cap + 16, '\x55');
  for (int guard = 0; guard < 1000000; guard++) {
    size_t n = cgi_body_read(&body, buf.data(), cap);
    if (n == 0) break;
    if (n > cap) {
      printf("piece of %zu over cap %zu|", n, cap);
      break;
    }
    if (!pieces.empty()) pieces += ",";
    pieces += std::to_string(n);
    data.append(buf.data(), n);
  }
  // Once used up the body stays used up.
  size_t again = cgi_body_read(&body, buf.data(), cap);
  cgi_body_close(&body);
  cgi_body_close(&body);
  printf("announced=%llu pieces=%s again=%zu|", static_cast<unsigned long long>(announced),
         pieces.c_str(), again);
  fwrite(data.data(), 1, data.size(), stdout);
}

TEST(CgiBodyStream, DeliversTheBodyInPiecesOfAtMostCap) {
  const BodyFiles files("hello world");

  struct Case {
    const char *label;
    std::map<std::string, std::string> env;  // "" unsets
    std::string stdin_data;
    size_t cap;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"body file, length from the file",
       {{"POST_BODY_FILE", files.body}, {"CONTENT_LENGTH", "3"}}, "xyz", 4,
       "announced=11 pieces=4,4,3 again=0|hello world"},
      {"body file, one piece", {{"POST_BODY_FILE", files.body}}, "", 64,
       "announced=11 pieces=11 again=0|hello world"},
      {"empty body file", {{"POST_BODY_FILE", files.empty}, {"CONTENT_LENGTH", "3"}}, "xyz", 4,
       "announced=0 pieces= again=0|"},
      {"missing body file falls back to stdin",
       {{"POST_BODY_FILE", files.missing}, {"CONTENT_LENGTH", "3"}}, "xyz", 4,
       "announced=3 pieces=3 again=0|xyz"},
      // A directory opens but has no length: no body, and no fallback.
      {"unmeasurable body file", {{"POST_BODY_FILE", files.tmp.path()}, {"CONTENT_LENGTH", "3"}},
       "xyz", 4, "announced=0 pieces= again=0|"},
      {"stdin, pieces of cap", {{"CONTENT_LENGTH", "10"}}, "0123456789", 3,
       "announced=10 pieces=3,3,3,1 again=0|0123456789"},
      {"stdin shorter than announced", {{"CONTENT_LENGTH", "10"}}, "abcd", 3,
       "announced=10 pieces=3,1 again=0|abcd"},
      {"stdin longer than announced", {{"CONTENT_LENGTH", "3"}}, "abcdef", 8,
       "announced=3 pieces=3 again=0|abc"},
      {"cap of one", {{"CONTENT_LENGTH", "3"}}, "abc", 1,
       "announced=3 pieces=1,1,1 again=0|abc"},
      // 2^32 + 3 must not become 3.
      {"length above 2^32, short stdin", {{"CONTENT_LENGTH", std::to_string(k4G + 3)}},
       "abcdefgh", 5, "announced=4294967299 pieces=5,3 again=0|abcdefgh"},
      {"largest 64-bit length", {{"CONTENT_LENGTH", "18446744073709551615"}}, "abc", 8,
       "announced=18446744073709551615 pieces=3 again=0|abc"},
      {"length beyond 64 bits saturates", {{"CONTENT_LENGTH", "99999999999999999999999"}},
       "abc", 8, "announced=18446744073709551615 pieces=3 again=0|abc"},
      {"text after the digits", {{"CONTENT_LENGTH", "5xyz"}}, "hello world", 8,
       "announced=5 pieces=5 again=0|hello"},
      {"no length", {}, "abc", 8, "announced=0 pieces= again=0|"},
      {"zero length", {{"CONTENT_LENGTH", "0"}}, "abc", 8, "announced=0 pieces= again=0|"},
      {"negative length", {{"CONTENT_LENGTH", "-5"}}, "abc", 8, "announced=0 pieces= again=0|"},
      {"huge negative length", {{"CONTENT_LENGTH", "-18446744073709551615"}}, "abc", 8,
       "announced=0 pieces= again=0|"},
      {"garbage length", {{"CONTENT_LENGTH", "abc"}}, "abc", 8,
       "announced=0 pieces= again=0|"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    size_t cap = c.cap;
    auto r = run_with_body([cap] { print_stream(cap); }, c.env, c.stdin_data);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, c.expected);
  }
}

// A body file beyond 4 GiB is announced with its full 64-bit length.
TEST(CgiBodyStream, AnnouncesBodyFilesBeyond4GiBInFull) {
  TempDir tmp;
  const std::string path = tmp.sub("big.bin");
  make_sparse(path, k4G + 10);
  auto r = run_in_child(
      [] {
        cgi_body body;
        uint64_t announced = 0;
        cgi_body_open(&body, &announced);
        char buf[4096];
        memset(buf, 'x', sizeof buf);
        size_t n = cgi_body_read(&body, buf, sizeof buf);
        int zeros = 1;
        for (size_t i = 0; i < n; i++)
          if (buf[i] != 0) zeros = 0;
        printf("announced=%llu remaining=%llu n=%zu zeros=%d",
               static_cast<unsigned long long>(announced),
               static_cast<unsigned long long>(body.remaining), n, zeros);
        cgi_body_close(&body);
      },
      {{"POST_BODY_FILE", path}, {"CONTENT_LENGTH", ""}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "announced=4294967306 remaining=4294963210 n=4096 zeros=1");
}

// Standard input as a pipe: the writer delivers in small bursts, the reader
// still fills whole pieces and stops where the writer stops.
TEST(CgiBodyStream, ReadsAPipeThatEndsBeforeTheAnnouncedLength) {
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  auto r = run_in_child(
      [&data] {
        int p[2];
        if (pipe(p) != 0) _exit(3);
        fflush(nullptr);
        pid_t writer = fork();
        if (writer == 0) {
          close(p[0]);
          for (size_t off = 0; off < data.size(); off += 1000) {
            size_t len = std::min<size_t>(1000, data.size() - off);
            if (write(p[1], data.data() + off, len) != static_cast<ssize_t>(len)) _exit(4);
          }
          _exit(0);
        }
        close(p[1]);
        dup2(p[0], 0);
        close(p[0]);
        cgi_body body;
        uint64_t announced = 0;
        cgi_body_open(&body, &announced);
        std::vector<char> buf(65536);
        std::string got;
        size_t max_piece = 0, pieces = 0;
        for (;;) {
          size_t n = cgi_body_read(&body, buf.data(), buf.size());
          if (n == 0) break;
          pieces++;
          max_piece = std::max(max_piece, n);
          got.append(buf.data(), n);
        }
        cgi_body_close(&body);
        int status = 0;
        waitpid(writer, &status, 0);
        printf("announced=%llu total=%zu pieces=%zu max=%zu same=%d",
               static_cast<unsigned long long>(announced), got.size(), pieces, max_piece,
               got == data);
      },
      {{"CONTENT_LENGTH", std::to_string(data.size() + 100)}, {"POST_BODY_FILE", ""}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "announced=1048676 total=1048576 pieces=16 max=65536 same=1");
}

TEST(CgiBodyStream, ToleratesNullArguments) {
  cgi_body_open(nullptr, nullptr);
  uint64_t announced = 5;
  cgi_body_open(nullptr, &announced);
  EXPECT_EQ(announced, 0u);
  cgi_body none{nullptr, 0, 0};
  char buf[4];
  EXPECT_EQ(cgi_body_read(&none, buf, sizeof buf), 0u);
  EXPECT_EQ(cgi_body_read(nullptr, buf, sizeof buf), 0u);
  cgi_body_close(&none);
  cgi_body_close(nullptr);
}

}  // namespace
