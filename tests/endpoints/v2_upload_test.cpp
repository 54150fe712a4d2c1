// The built v2_upload program run as a CGI process with a clean environment:
// one table of requests, each checked by its exact reply bytes, its exit
// status and the storage tree it leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "support.h"

using eptest::blob_file;
using eptest::digest_of;
using eptest::error_reply;
using eptest::printable;
using eptest::reply;
using testsupport::ChildResult;
using testsupport::TempDir;

namespace {

const std::string kProgram = REGISTRY_BIN_DIR "/v2_upload";

// Sessions that a case may find already in the upload area.
const std::string kSid = "91e3a35b-f173-0dfb-938b-ee4b3dc38bf5";
const std::string kOther = "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b";  // well-formed, no session

enum class Feed { kStdin, kFile };

struct Case {
  std::string name{};
  std::optional<std::string> method{};          // nullopt: REQUEST_METHOD unset
  std::optional<std::string> path{};            // nullopt: PATH_INFO unset
  std::string query{};                          // QUERY_STRING, unset when empty
  std::string body{};                           // request body, CONTENT_LENGTH its size
  Feed feed = Feed::kStdin;                     // kFile: the body in POST_BODY_FILE
  std::optional<std::string> content_length{};  // overrides the announced length
  std::optional<std::string> content_range{};   // HTTP_CONTENT_RANGE
  std::vector<std::pair<std::string, std::string>> sessions{};  // id, content
  std::vector<std::string> session_dirs{};  // ids whose session path is a directory
  std::vector<std::string> blobs{};         // contents already in the blob store
  bool root_under_file = false;             // storage root below a regular file
  // Exact standard output; "{NEW}" stands for the id of a session this
  // request started.
  std::string want_out{};
  // Every file of the storage tree afterwards (config.json aside) with its
  // content; "{NEW}" as above.
  std::vector<std::pair<std::string, std::string>> want_tree{};
};

std::string session_file(const std::string &id) { return "uploads/" + id + ".part"; }

// `range`: the Range line that ends the reply, "" for none.
std::string session_reply(const std::string &status, const std::string &name, const std::string &id,
                          const std::string &range = "") {
  std::vector<std::string> lines = {"Location: /v2/" + name + "/blobs/uploads/" + id,
                                    "Docker-Upload-UUID: " + id};
  if (!range.empty()) lines.push_back(range);
  return reply(status, lines);
}

// The Range line of a session holding `size` bytes.
std::string held(size_t size) {
  return "Range: 0-" + std::to_string(size > 0 ? size - 1 : 0);
}

std::string created_reply(const std::string &name, const std::string &content) {
  std::string d = digest_of(content);
  return reply("201 Created",
               {"Location: /v2/" + name + "/blobs/" + d, "Docker-Content-Digest: " + d});
}

const std::string kNameUnknown = error_reply(404, "NAME_UNKNOWN", "repository name not known");
const std::string kMissingUuid = error_reply(400, "BLOB_UPLOAD_UNKNOWN", "missing upload uuid");
const std::string kUnsupported =
    error_reply(405, "UNSUPPORTED", "Method not allowed for upload endpoint");
const std::string kDigestInvalid =
    error_reply(400, "DIGEST_INVALID", "provided digest did not match uploaded content");
const std::string kDigestMissing =
    error_reply(400, "DIGEST_INVALID", "missing digest query parameter");
const std::string kAppendFailed = error_reply(400, "BLOB_UPLOAD_INVALID", "failed to append chunk");

std::vector<Case> cases() {
  const std::string up = "/v2/library/app/blobs/uploads/";
  const std::string name = "library/app";
  const std::string hello = "hello, registry\n";
  const std::string big = testsupport::varied_bytes((5u << 19) + 3);  // 2.5 MiB and 3 bytes
  const std::string two_mib = testsupport::varied_bytes(2u << 20);    // exactly two pieces
  const std::string long_id(200, 'x');
  const std::string name255 = "n/" + std::string(253, 'a');
  const std::string name256 = "n/" + std::string(254, 'a');
  const std::string empty_digest = digest_of("");

  std::vector<Case> t;
  // clang-format off

  // POST: start a session, or take a whole blob.
  t.push_back({.name = "post_without_digest_opens_an_empty_session_and_leaves_the_body_unread",
               .method = "POST", .path = up, .body = "ignored",
               .want_out = session_reply("202 Accepted", name, "{NEW}", "Range: bytes=0-0"),
               .want_tree = {{session_file("{NEW}"), ""}}});
  t.push_back({.name = "post_with_matching_digest_stores_the_blob",
               .method = "POST", .path = up, .query = "digest=" + digest_of(hello), .body = hello,
               .want_out = created_reply(name, hello),
               .want_tree = {{blob_file(hello), hello}}});
  t.push_back({.name = "post_digest_is_percent_decoded_and_body_may_come_from_a_file",
               .method = "POST", .path = up,
               .query = "digest=sha256%3A" + digest_of(hello).substr(7), .body = hello,
               .feed = Feed::kFile, .content_length = "0",
               .want_out = created_reply(name, hello),
               .want_tree = {{blob_file(hello), hello}}});
  t.push_back({.name = "post_with_digest_of_empty_content_and_no_body_stores_an_empty_blob",
               .method = "POST", .path = up, .query = "digest=" + empty_digest,
               .want_out = created_reply(name, ""), .want_tree = {{blob_file(""), ""}}});
  t.push_back({.name = "post_with_mismatching_digest_removes_the_session_and_names_no_id",
               .method = "POST", .path = up, .query = "digest=" + digest_of("other"),
               .body = hello, .want_out = kDigestInvalid});
  t.push_back({.name = "post_with_malformed_digest_keeps_the_filled_session",
               .method = "POST", .path = up, .query = "digest=sha256:ABC", .body = hello,
               .want_out = kDigestInvalid, .want_tree = {{session_file("{NEW}"), hello}}});
  t.push_back({.name = "post_ignores_an_id_in_the_path",
               .method = "POST", .path = up + kSid, .sessions = {{kSid, "abc"}},
               .want_out = session_reply("202 Accepted", name, "{NEW}", "Range: bytes=0-0"),
               .want_tree = {{session_file(kSid), "abc"}, {session_file("{NEW}"), ""}}});
  t.push_back({.name = "post_of_content_already_stored_keeps_the_stored_blob",
               .method = "POST", .path = up, .query = "digest=" + digest_of(hello), .body = hello,
               .blobs = {hello}, .want_out = created_reply(name, hello),
               .want_tree = {{blob_file(hello), hello}}});
  t.push_back({.name = "post_accepts_a_name_of_255_characters",
               .method = "POST", .path = "/v2/" + name255 + "/blobs/uploads",
               .want_out = session_reply("202 Accepted", name255, "{NEW}", "Range: bytes=0-0"),
               .want_tree = {{session_file("{NEW}"), ""}}});

  // PATCH: append a chunk.
  t.push_back({.name = "patch_appends_the_body_to_the_session",
               .method = "PATCH", .path = up + kSid, .body = "def", .sessions = {{kSid, "abc"}},
               .want_out = session_reply("202 Accepted", name, kSid, held(6)),
               .want_tree = {{session_file(kSid), "abcdef"}}});
  t.push_back({.name = "patch_streams_a_stdin_body_of_several_pieces_whole",
               .method = "PATCH", .path = up + kSid, .body = big, .sessions = {{kSid, "abc"}},
               .want_out = session_reply("202 Accepted", name, kSid, held(3 + big.size())),
               .want_tree = {{session_file(kSid), "abc" + big}}});
  t.push_back({.name = "patch_streams_a_body_file_of_exactly_two_pieces",
               .method = "PATCH", .path = up + kSid, .body = two_mib, .feed = Feed::kFile,
               .sessions = {{kSid, ""}},
               .want_out = session_reply("202 Accepted", name, kSid, held(two_mib.size())),
               .want_tree = {{session_file(kSid), two_mib}}});
  t.push_back({.name = "patch_with_a_short_body_appends_what_arrived",
               .method = "PATCH", .path = up + kSid, .body = "wxyz", .content_length = "10",
               .sessions = {{kSid, "abc"}},
               .want_out = session_reply("202 Accepted", name, kSid, held(7)),
               .want_tree = {{session_file(kSid), "abcwxyz"}}});
  t.push_back({.name = "patch_reads_no_more_than_content_length",
               .method = "PATCH", .path = up + kSid, .body = "defghi", .content_length = "3",
               .sessions = {{kSid, "abc"}},
               .want_out = session_reply("202 Accepted", name, kSid, held(6)),
               .want_tree = {{session_file(kSid), "abcdef"}}});
  // Nothing is appended, so no session comes into being, and none is
  // reported as holding a byte.
  t.push_back({.name = "patch_with_empty_body_to_unknown_session_creates_none_and_reports_no_range",
               .method = "PATCH", .path = up + kOther,
               .want_out = session_reply("202 Accepted", name, kOther)});
  t.push_back({.name = "patch_to_a_well_formed_id_without_session_starts_it",
               .method = "PATCH", .path = up + kOther, .body = "abc",
               .want_out = session_reply("202 Accepted", name, kOther, held(3)),
               .want_tree = {{session_file(kOther), "abc"}}});
  t.push_back({.name = "patch_to_a_malformed_id_fails_to_append",
               .method = "PATCH", .path = up + "not-an-upload-id", .body = "abc",
               .want_out = kAppendFailed});
  t.push_back({.name = "patch_fails_when_the_session_cannot_be_written",
               .method = "PATCH", .path = up + kSid, .body = "abc", .session_dirs = {kSid},
               .want_out = kAppendFailed});

  // PATCH with Content-Range: a chunk must continue the session.
  auto refused = [](const std::string &range) {
    return error_reply(416, "BLOB_UPLOAD_INVALID", "content range does not continue the upload",
                       {range});
  };
  struct RangeCase {
    const char *name;
    const char *content_range;
    bool appended;
  };
  for (const RangeCase &rc : std::vector<RangeCase>{
           {"patch_with_content_range_continuing_the_session_appends", "3-5", true},
           {"patch_with_content_range_in_bytes_form_appends", "bytes 3-5/6", true},
           {"patch_with_content_range_overlapping_the_session_is_refused", "2-4", false},
           {"patch_with_content_range_leaving_a_gap_is_refused", "4-6", false},
           {"patch_with_content_range_starting_over_is_refused", "0-2", false},
           {"patch_with_malformed_content_range_is_refused", "3", false},
           {"patch_with_reversed_content_range_is_refused", "3-1", false},
       }) {
    t.push_back({.name = rc.name, .method = "PATCH", .path = up + kSid, .body = "def",
                 .content_range = rc.content_range, .sessions = {{kSid, "abc"}},
                 .want_out = rc.appended ? session_reply("202 Accepted", name, kSid, held(6))
                                         : refused(held(3)),
                 .want_tree = {{session_file(kSid), rc.appended ? "abcdef" : "abc"}}});
  }
  t.push_back({.name = "patch_with_content_range_from_0_starts_an_unknown_session",
               .method = "PATCH", .path = up + kOther, .body = "abc", .content_range = "0-2",
               .want_out = session_reply("202 Accepted", name, kOther, held(3)),
               .want_tree = {{session_file(kOther), "abc"}}});
  t.push_back({.name = "patch_with_content_range_past_0_to_an_unknown_session_is_refused",
               .method = "PATCH", .path = up + kOther, .body = "abc", .content_range = "5-7",
               .want_out = refused(held(0))});

  // POST with mount: a stored blob is taken over without a session.
  t.push_back({.name = "post_mounting_a_stored_blob_answers_201_without_a_session",
               .method = "POST", .path = up,
               .query = "mount=" + digest_of(hello) + "&from=other/repo", .blobs = {hello},
               .want_out = created_reply(name, hello),
               .want_tree = {{blob_file(hello), hello}}});
  t.push_back({.name = "post_mounting_an_unstored_blob_starts_a_session",
               .method = "POST", .path = up, .query = "mount=" + digest_of(hello) + "&from=x",
               .want_out = session_reply("202 Accepted", name, "{NEW}", "Range: bytes=0-0"),
               .want_tree = {{session_file("{NEW}"), ""}}});
  t.push_back({.name = "post_mounting_a_malformed_digest_starts_a_session",
               .method = "POST", .path = up, .query = "mount=sha256:XYZ&from=x",
               .want_out = session_reply("202 Accepted", name, "{NEW}", "Range: bytes=0-0"),
               .want_tree = {{session_file("{NEW}"), ""}}});

  // PUT: finish, with an optional final chunk.
  t.push_back({.name = "put_appends_the_final_chunk_before_checking_the_digest",
               .method = "PUT", .path = up + kSid, .query = "digest=" + digest_of("abcdef"),
               .body = "def", .sessions = {{kSid, "abc"}},
               .want_out = created_reply(name, "abcdef"),
               .want_tree = {{blob_file("abcdef"), "abcdef"}}});
  t.push_back({.name = "put_without_body_finishes_the_session",
               .method = "PUT", .path = up + kSid + "/", .query = "x=1&digest=" + digest_of("abc"),
               .sessions = {{kSid, "abc"}}, .want_out = created_reply(name, "abc"),
               .want_tree = {{blob_file("abc"), "abc"}}});
  t.push_back({.name = "put_without_digest_leaves_the_body_unread",
               .method = "PUT", .path = up + kSid, .body = "def", .sessions = {{kSid, "abc"}},
               .want_out = kDigestMissing, .want_tree = {{session_file(kSid), "abc"}}});
  t.push_back({.name = "put_with_empty_digest_leaves_the_body_unread",
               .method = "PUT", .path = up + kSid, .query = "digest=", .body = "def",
               .sessions = {{kSid, "abc"}},
               .want_out = kDigestMissing, .want_tree = {{session_file(kSid), "abc"}}});
  t.push_back({.name = "put_with_mismatching_digest_removes_the_session",
               .method = "PUT", .path = up + kSid, .query = "digest=" + digest_of("abc"),
               .body = "def", .sessions = {{kSid, "abc"}}, .want_out = kDigestInvalid});
  t.push_back({.name = "put_to_unknown_session_fails",
               .method = "PUT", .path = up + kOther, .query = "digest=" + empty_digest,
               .want_out = kDigestInvalid});
  t.push_back({.name = "put_of_content_already_stored_drops_the_session",
               .method = "PUT", .path = up + kSid, .query = "digest=" + digest_of(hello),
               .sessions = {{kSid, hello}}, .blobs = {hello},
               .want_out = created_reply(name, hello),
               .want_tree = {{blob_file(hello), hello}}});

  // DELETE and GET.
  t.push_back({.name = "delete_cancels_the_session",
               .method = "DELETE", .path = up + kSid, .sessions = {{kSid, "abc"}, {kOther, "x"}},
               .want_out = reply("202 Accepted"), .want_tree = {{session_file(kOther), "x"}}});
  t.push_back({.name = "delete_of_unknown_or_malformed_id_still_answers_202",
               .method = "DELETE", .path = up + "no-such-id", .want_out = reply("202 Accepted")});
  t.push_back({.name = "get_echoes_an_existing_session",
               .method = "GET", .path = up + kSid, .sessions = {{kSid, "abc"}},
               .want_out = session_reply("204 No Content", name, kSid, held(3)),
               .want_tree = {{session_file(kSid), "abc"}}});
  t.push_back({.name = "get_of_an_empty_session_reports_range_0_0",
               .method = "GET", .path = up + kSid, .sessions = {{kSid, ""}},
               .want_out = session_reply("204 No Content", name, kSid, held(0)),
               .want_tree = {{session_file(kSid), ""}}});
  t.push_back({.name = "get_echoes_any_id_without_checking_it",
               .method = "GET", .path = up + "any-id",
               .want_out = session_reply("204 No Content", name, "any-id")});
  t.push_back({.name = "unset_method_is_taken_as_get",
               .path = up + kOther, .want_out = session_reply("204 No Content", name, kOther)});
  t.push_back({.name = "long_id_is_cut_in_location_and_in_uuid_line",
               .method = "GET", .path = up + long_id,
               .want_out = reply("204 No Content", {
                   "Location: /v2/" + name + "/blobs/uploads/" + long_id.substr(0, 127),
                   "Docker-Upload-UUID: " + long_id.substr(0, 107)})});
  t.push_back({.name = "control_bytes_in_the_id_cannot_add_header_lines",
               .method = "GET", .path = up + "abc\r\nSet-Cookie: a=b",
               .want_out = session_reply("204 No Content", name, "abc")});

  // Methods other than the five.
  t.push_back({.name = "head_with_id_is_not_allowed", .method = "HEAD", .path = up + kSid,
               .want_out = kUnsupported});
  t.push_back({.name = "head_without_id_is_missing_the_uuid", .method = "HEAD", .path = up,
               .want_out = kMissingUuid});
  t.push_back({.name = "lowercase_post_with_id_is_not_allowed", .method = "post",
               .path = up + kSid, .sessions = {{kSid, "abc"}}, .want_out = kUnsupported,
               .want_tree = {{session_file(kSid), "abc"}}});
  t.push_back({.name = "lowercase_post_without_id_is_missing_the_uuid", .method = "post",
               .path = up, .want_out = kMissingUuid});
  t.push_back({.name = "patch_without_id_is_missing_the_uuid", .method = "PATCH", .path = up,
               .body = "abc", .want_out = kMissingUuid});

  // Paths and storage.
  t.push_back({.name = "unset_path_info_has_no_marker", .method = "POST",
               .want_out = kNameUnknown});
  t.push_back({.name = "path_without_marker_is_unknown", .method = "GET",
               .path = "/v2/library/app/manifests/latest", .want_out = kNameUnknown});
  t.push_back({.name = "name_of_256_characters_is_unknown", .method = "POST",
               .path = "/v2/" + name256 + "/blobs/uploads/", .want_out = kNameUnknown});
  t.push_back({.name = "invalid_name_is_unknown", .method = "POST",
               .path = "/v2/library//app/blobs/uploads/", .want_out = kNameUnknown});
  t.push_back({.name = "storage_root_that_cannot_be_made_fails_first", .method = "POST",
               .path = "/v2/a/blobs/uploads/", .root_under_file = true,
               .want_out = error_reply(500, "STORAGE_ERROR",
                                       "Failed to initialize registry storage")});
  // clang-format on
  return t;
}

bool upload_id_at(const std::string &s, size_t i) {
  if (i + 36 > s.size()) return false;
  for (size_t k = 0; k < 36; k++) {
    char c = s[i + k];
    bool hyphen = k == 8 || k == 13 || k == 18 || k == 23;
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Replaces every upload id in `s` that is not a fixture id with "{NEW}",
// collecting the ids replaced.
std::string mark_new_ids(const std::string &s, std::set<std::string> &seen) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    if (!upload_id_at(s, i)) {
      out += s[i++];
      continue;
    }
    std::string id = s.substr(i, 36);
    if (id == kSid || id == kOther) {
      out += id;
    } else {
      out += "{NEW}";
      seen.insert(id);
    }
    i += 36;
  }
  return out;
}

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class V2UploadProgram : public ::testing::TestWithParam<Case> {};

TEST_P(V2UploadProgram, RepliesAndLeavesTheStore) {
  const Case &c = GetParam();
  TempDir tmp;
  std::string root = tmp.sub(c.root_under_file ? "file/store" : "store");
  if (c.root_under_file) testsupport::write_all(tmp.sub("file"), "not a directory");

  eptest::Seed seed{.blobs = c.blobs};
  for (const auto &[id, content] : c.sessions) seed.files.emplace_back(session_file(id), content);
  eptest::seed_store(root, seed);
  for (const auto &id : c.session_dirs) testsupport::make_dirs(root + "/" + session_file(id));

  std::map<std::string, std::string> env = {{"REGISTRY_STORAGE_ROOT", root}};
  if (c.method) env["REQUEST_METHOD"] = *c.method;
  if (c.path) env["PATH_INFO"] = *c.path;
  if (!c.query.empty()) env["QUERY_STRING"] = c.query;
  std::string stdin_data;
  if (c.feed == Feed::kFile) {
    testsupport::write_all(tmp.sub("body"), c.body);
    env["POST_BODY_FILE"] = tmp.sub("body");
  } else {
    stdin_data = c.body;
    if (!c.body.empty()) env["CONTENT_LENGTH"] = std::to_string(c.body.size());
  }
  if (c.content_length) env["CONTENT_LENGTH"] = *c.content_length;
  if (c.content_range) env["HTTP_CONTENT_RANGE"] = *c.content_range;

  // The working directory holds nothing the program could mistake for
  // configuration.
  ChildResult r = testsupport::run_program(kProgram, {}, env, stdin_data, tmp.sub(""));

  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.err, "");
  std::set<std::string> new_ids;
  EXPECT_EQ(printable(mark_new_ids(r.out, new_ids)), printable(c.want_out));

  if (c.root_under_file) {
    EXPECT_EQ(testsupport::list_tree(tmp.path()), std::vector<std::string>({"file"}));
    EXPECT_EQ(testsupport::read_all(tmp.sub("file")), "not a directory");
    return;
  }
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto &f : testsupport::list_tree(root)) {
    if (f == "config.json") continue;
    got.emplace_back(mark_new_ids(f, new_ids), testsupport::read_all(root + "/" + f));
  }
  EXPECT_TRUE(testsupport::exists(root + "/config.json"));
  EXPECT_LE(new_ids.size(), 1u) << "more than one fresh upload id";
  auto want = c.want_tree;
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); i++) {
    EXPECT_EQ(got[i].first, want[i].first);
    EXPECT_TRUE(got[i].second == want[i].second)
        << got[i].first << ": " << got[i].second.size() << " bytes, want " << want[i].second.size()
        << ": " << printable(got[i].second);
  }
}

INSTANTIATE_TEST_SUITE_P(Requests, V2UploadProgram, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case> &i) { return i.param.name; });

}  // namespace
