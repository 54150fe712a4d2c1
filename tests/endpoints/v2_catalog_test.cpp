// The built v2_catalog program run as a CGI process: one table of requests,
// each checked by its exact reply bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using eptest::Case;
using eptest::error_reply;
using eptest::page_reply;
using eptest::reply;
using eptest::Request;
using eptest::Seed;

std::vector<Case> cases() {
  Seed repos;
  for (const char *r : {"library/ubuntu", "team/app", "team/app/debug", "solo"})
    repos.files.push_back({std::string("repositories/") + r + "/_manifests/x", ""});
  repos.files.push_back({"repositories/team/notes/readme", ""});  // no _manifests
  const std::string p = "/v2/_catalog";
  const std::string bad_n = error_reply(400, "UNSUPPORTED", "invalid page size n");

  // clang-format off
  return {
    {"lists_every_repository_by_its_full_name", repos, {.path = p},
     page_reply(R"({"repositories":["library/ubuntu","solo","team/app","team/app/debug"]})")},
    {"first_page_links_to_the_next", repos, {.path = p, .query = "n=2"},
     page_reply(R"({"repositories":["library/ubuntu","solo"]})", "/v2/_catalog?n=2&last=solo")},
    {"next_page_starts_after_last", repos, {.path = p, .query = "n=2&last=solo"},
     page_reply(R"({"repositories":["team/app","team/app/debug"]})")},
    {"last_given_percent_encoded", repos, {.path = p, .query = "last=team%2Fapp"},
     page_reply(R"({"repositories":["team/app/debug"]})")},
    {"empty_store", {}, {.path = p}, page_reply(R"({"repositories":[]})")},
    {"page_size_zero", repos, {.path = p, .query = "n=0"}, page_reply(R"({"repositories":[]})")},
    {"page_size_not_a_number", repos, {.path = p, .query = "n=x"}, bad_n},
    {"other_methods_are_not_allowed", repos, {.method = "POST", .path = p},
     error_reply(405, "UNSUPPORTED", "Method not allowed for catalog endpoint")},
  };
  // clang-format on
}

class V2CatalogProgram : public eptest::ProgramTest {};

TEST_P(V2CatalogProgram, Replies) { run("v2_catalog"); }

INSTANTIATE_TEST_SUITE_P(Requests, V2CatalogProgram, ::testing::ValuesIn(cases()),
                         eptest::case_name);

}  // namespace
