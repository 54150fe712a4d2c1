// The built v2_stats program run as a CGI process: one table of requests,
// each checked by its exact reply bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using eptest::Case;
using eptest::error_reply;
using eptest::kJsonType;
using eptest::reply;
using eptest::Request;
using eptest::Seed;

std::vector<Case> cases() {
  const std::string empty_stats =
      R"({"version":"1.0.0","repositories":0,"tags":0,"blobs":0,"blob_bytes":0,"active_uploads":0,"upload_bytes":0})";
  const Seed some{.blobs = {"abc", "de"},
                  .files = {{"repositories/app/_manifests/tags/v1/current/link", "x"},
                            {"uploads/91e3a35b-f173-0dfb-938b-ee4b3dc38bf5.part", "1234"}}};
  // clang-format off
  return {
    {"stats_of_an_empty_store", {}, {.path = "/v2/_stats"},
     reply("200", {kJsonType}, empty_stats + "\n")},
    {"stats_count_what_is_stored", some, {.path = "/v2/_stats"},
     reply("200", {kJsonType},
           R"({"version":"1.0.0","repositories":1,"tags":1,"blobs":2,"blob_bytes":5,"active_uploads":1,"upload_bytes":4})" "\n")},
    {"stats_by_post", {}, {.method = "POST", .path = "/v2/_stats"},
     error_reply(405, "UNSUPPORTED", "Method not allowed for statistics endpoint")},
  };
  // clang-format on
}

class V2StatsProgram : public eptest::ProgramTest {};

TEST_P(V2StatsProgram, Replies) { run("v2_stats"); }

INSTANTIATE_TEST_SUITE_P(Requests, V2StatsProgram, ::testing::ValuesIn(cases()), eptest::case_name);

}  // namespace
