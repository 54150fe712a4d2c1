// The built v2_blobs program run as a CGI process: one table of requests,
// each checked by its exact reply bytes and the blob files afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using eptest::blob_file;
using eptest::Case;
using eptest::digest_of;
using eptest::error_reply;
using eptest::FileCheck;
using eptest::reply;
using eptest::Request;
using eptest::Seed;

// A blob that is not a repetition of a short pattern and spans several
// 64 KiB pieces, so a piece sent twice, dropped or out of order shows.
std::string pattern_bytes(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u;
  for (size_t i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

std::string whole(const std::string &content, const std::string &body) {
  return reply("200 OK",
               {"Content-Length: " + std::to_string(content.size()),
                "Docker-Content-Digest: " + digest_of(content),
                "Content-Type: application/octet-stream", "Accept-Ranges: bytes"},
               body);
}

std::string part(const std::string &content, size_t first, size_t last, bool with_body = true) {
  return reply("206 Partial Content",
               {"Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                    std::to_string(content.size()),
                "Content-Length: " + std::to_string(last - first + 1),
                "Docker-Content-Digest: " + digest_of(content),
                "Content-Type: application/octet-stream", "Accept-Ranges: bytes"},
               with_body ? content.substr(first, last - first + 1) : "");
}

std::string unsatisfiable(size_t size) {
  return error_reply(416, "SIZE_INVALID", "requested range not satisfiable",
                     {"Content-Range: bytes */" + std::to_string(size)});
}

std::vector<Case> cases() {
  const std::string hello = "hello, registry\n";
  const std::string big = pattern_bytes((3u << 16) + 5);  // three pieces and 5 bytes
  const std::string p = "/v2/team/app/blobs/";
  const std::string ph = p + digest_of(hello);
  const std::string pb = p + digest_of(big);
  const std::string absent = digest_of("absent");
  const std::string unknown = error_reply(404, "BLOB_UNKNOWN", "blob unknown to registry");
  auto range = [](const std::string &r) { return std::map<std::string, std::string>{{"HTTP_RANGE", r}}; };
  const Seed both{.blobs = {hello, big}};

  // clang-format off
  return {
    {"get_sends_the_whole_blob", both, {.path = ph}, whole(hello, hello)},
    {"get_streams_a_blob_of_several_pieces", both, {.path = pb}, whole(big, big)},
    {"head_sends_the_head_only", both, {.method = "HEAD", .path = pb}, whole(big, "")},
    {"get_of_an_empty_blob", {.blobs = {""}}, {.path = p + digest_of("")}, whole("", "")},
    {"name_may_hold_a_blobs_component", both, {.path = "/v2/a/blobs/b/blobs/" + digest_of(hello)},
     whole(hello, hello)},

    // Ranges.
    {"range_first_to_last", both, {.path = ph, .env = range("bytes=2-5")}, part(hello, 2, 5)},
    {"range_open_end", both, {.path = ph, .env = range("bytes=7-")}, part(hello, 7, 15)},
    {"range_suffix", both, {.path = ph, .env = range("bytes=-4")}, part(hello, 12, 15)},
    {"range_suffix_longer_than_the_blob", both, {.path = ph, .env = range("bytes=-100")},
     part(hello, 0, 15)},
    {"range_end_past_the_blob_is_cut", both, {.path = ph, .env = range("bytes=10-999")},
     part(hello, 10, 15)},
    {"range_across_pieces_of_a_large_blob", both,
     {.path = pb, .env = range("bytes=65530-131080")}, part(big, 65530, 131080)},
    {"range_of_the_last_byte", both, {.path = pb, .env = range("bytes=196612-196612")},
     part(big, 196612, 196612)},
    {"head_with_range", both, {.method = "HEAD", .path = ph, .env = range("bytes=0-0")},
     part(hello, 0, 0, false)},
    {"range_starting_at_the_end_is_unsatisfiable", both,
     {.path = ph, .env = range("bytes=16-")}, unsatisfiable(16)},
    {"range_of_an_empty_blob_is_unsatisfiable", {.blobs = {""}},
     {.path = p + digest_of(""), .env = range("bytes=0-")}, unsatisfiable(0)},
    {"empty_suffix_is_unsatisfiable", both, {.path = ph, .env = range("bytes=-0")},
     unsatisfiable(16)},
    {"reversed_range_is_ignored", both, {.path = ph, .env = range("bytes=5-2")},
     whole(hello, hello)},
    {"several_ranges_are_ignored", both, {.path = ph, .env = range("bytes=0-1,4-5")},
     whole(hello, hello)},
    {"other_units_are_ignored", both, {.path = ph, .env = range("items=0-1")},
     whole(hello, hello)},
    {"overflowing_numbers_are_ignored", both,
     {.path = ph, .env = range("bytes=99999999999999999999-")}, whole(hello, hello)},

    // Absent and malformed.
    {"absent_blob_is_unknown", both, {.path = p + absent}, unknown},
    {"head_of_absent_blob_is_unknown", both, {.method = "HEAD", .path = p + absent}, unknown},
    {"directory_at_the_blob_path_is_unknown",
     {.files = {{blob_file("dir") + "/x", "x"}}}, {.path = p + digest_of("dir")}, unknown},
    {"uppercase_digest_is_invalid", both,
     {.path = p + "sha256:" + std::string(64, 'A')},
     error_reply(400, "DIGEST_INVALID", "invalid digest")},
    {"other_algorithm_is_invalid", both, {.path = p + "sha512:" + std::string(128, 'a')},
     error_reply(400, "DIGEST_INVALID", "invalid digest")},
    {"empty_digest_is_invalid", both, {.path = p},
     error_reply(400, "DIGEST_INVALID", "invalid digest")},
    {"invalid_name", both, {.path = "/v2/team/_manifests/blobs/" + digest_of(hello)},
     error_reply(400, "NAME_INVALID", "invalid repository name")},
    {"dot_dot_name", both, {.path = "/v2/a..b/blobs/" + digest_of(hello)},
     error_reply(400, "NAME_INVALID", "invalid repository name")},
    {"path_without_marker", both, {.path = "/v2/team/app/manifests/latest"},
     error_reply(404, "NAME_UNKNOWN", "repository name not known")},

    // Delete.
    {"delete_removes_the_blob_and_its_emptied_shard", both, {.method = "DELETE", .path = ph},
     reply("202 Accepted", {"Content-Length: 0"}),
     {{blob_file(hello), std::nullopt},
      {blob_file(hello).substr(0, blob_file(hello).rfind('/')), std::nullopt},
      {blob_file(big), big}}},
    {"delete_of_absent_blob_is_unknown", both, {.method = "DELETE", .path = p + absent}, unknown,
     {{blob_file(hello), hello}}},
    {"other_methods_are_not_allowed", both, {.method = "PUT", .path = ph, .body = "x"},
     error_reply(405, "UNSUPPORTED", "Method not allowed for blob endpoint"),
     {{blob_file(hello), hello}}},
  };
  // clang-format on
}

class V2BlobsProgram : public eptest::ProgramTest {};

TEST_P(V2BlobsProgram, Replies) { run("v2_blobs"); }

INSTANTIATE_TEST_SUITE_P(Requests, V2BlobsProgram, ::testing::ValuesIn(cases()), eptest::case_name);

}  // namespace
