// The built v2_tags program run as a CGI process: one table of requests,
// each checked by its exact reply bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using eptest::Case;
using eptest::error_reply;
using eptest::kJsonType;
using eptest::page_reply;
using eptest::reply;
using eptest::Request;
using eptest::Seed;

std::vector<Case> cases() {
  const std::string m = "repositories/team/app/_manifests/";
  const std::string d = "sha256:" + std::string(64, 'a');
  Seed tagged;
  for (const char *t : {"v2", "latest", "v1", "1.0"}) tagged.files.push_back({m + "tags/" + t + "/current/link", d});
  // Tags the list leaves out: no readable link, and a name no client could use.
  tagged.files.push_back({m + "tags/nolink/current/x", ""});
  tagged.files.push_back({m + "tags/-bad/current/link", d});
  const Seed untagged{.files = {{m + "revisions/sha256/" + std::string(64, 'a') + "/link", d}}};
  const std::string p = "/v2/team/app/tags/list";
  const std::string all = R"({"name":"team/app","tags":["1.0","latest","v1","v2"]})";
  const std::string bad_n = error_reply(400, "UNSUPPORTED", "invalid page size n");

  // clang-format off
  return {
    {"lists_every_tag_sorted", tagged, {.path = p}, page_reply(all)},
    {"head_sends_the_head_only", tagged, {.method = "HEAD", .path = p},
     reply("200 OK", {kJsonType})},
    {"first_page_links_to_the_next", tagged, {.path = p, .query = "n=2"},
     page_reply(R"({"name":"team/app","tags":["1.0","latest"]})",
                "/v2/team/app/tags/list?n=2&last=latest")},
    {"next_page_starts_after_last", tagged, {.path = p, .query = "n=2&last=latest"},
     page_reply(R"({"name":"team/app","tags":["v1","v2"]})")},
    {"last_between_tags", tagged, {.path = p, .query = "last=m"},
     page_reply(R"({"name":"team/app","tags":["v1","v2"]})")},
    {"page_size_above_the_maximum_is_capped", tagged, {.path = p, .query = "n=1000000000000"},
     page_reply(all)},
    {"page_size_zero_gives_an_empty_page", tagged, {.path = p, .query = "n=0"},
     page_reply(R"({"name":"team/app","tags":[]})")},
    {"negative_page_size", tagged, {.path = p, .query = "n=-1"}, bad_n},
    {"page_size_not_a_number", tagged, {.path = p, .query = "n=ten"}, bad_n},
    {"page_size_with_a_sign", tagged, {.path = p, .query = "n=%2B2"}, bad_n},
    {"repository_without_tags", untagged, {.path = p},
     page_reply(R"({"name":"team/app","tags":[]})")},
    {"unknown_repository", tagged, {.path = "/v2/team/other/tags/list"},
     error_reply(404, "NAME_UNKNOWN", "repository name not known to registry")},
    {"parent_directory_is_no_repository", tagged, {.path = "/v2/team/tags/list"},
     error_reply(404, "NAME_UNKNOWN", "repository name not known to registry")},
    {"invalid_name", tagged, {.path = "/v2/team//app/tags/list"},
     error_reply(400, "NAME_INVALID", "invalid repository name")},
    {"name_may_hold_a_tags_component",
     {.files = {{"repositories/a/tags/list/b/_manifests/tags/x/current/link", d}}},
     {.path = "/v2/a/tags/list/b/tags/list"},
     page_reply(R"({"name":"a/tags/list/b","tags":["x"]})")},
    {"trailing_text_after_the_marker", tagged, {.path = p + "x"},
     error_reply(404, "NAME_UNKNOWN", "repository name not known")},
    {"other_methods_are_not_allowed", tagged, {.method = "DELETE", .path = p},
     error_reply(405, "UNSUPPORTED", "Method not allowed for tag list endpoint")},
  };
  // clang-format on
}

class V2TagsProgram : public eptest::ProgramTest {};

TEST_P(V2TagsProgram, Replies) { run("v2_tags"); }

INSTANTIATE_TEST_SUITE_P(Requests, V2TagsProgram, ::testing::ValuesIn(cases()), eptest::case_name);

}  // namespace
