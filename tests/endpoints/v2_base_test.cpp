// The built v2_base program run as a CGI process: one table of requests,
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
  // clang-format off
  return {
    {"version_check", {}, {.path = "/v2/"}, reply("200", {kJsonType}, "{}\n")},
    {"version_check_without_slash", {}, {.path = "/v2"}, reply("200", {kJsonType}, "{}\n")},
    {"version_check_by_head", {}, {.method = "HEAD", .path = "/v2/"},
     reply("200", {kJsonType}, "{}\n")},
    {"version_check_by_post", {}, {.method = "POST", .path = "/v2/"},
     error_reply(405, "UNSUPPORTED", "Method not allowed for the version check")},
    {"unrouted_path", {}, {.path = "/v2/team/app/unknown"},
     error_reply(404, "NAME_UNKNOWN", "repository name not known")},
  };
  // clang-format on
}

class V2BaseProgram : public eptest::ProgramTest {};

TEST_P(V2BaseProgram, Replies) { run("v2_base"); }

INSTANTIATE_TEST_SUITE_P(Requests, V2BaseProgram, ::testing::ValuesIn(cases()), eptest::case_name);

}  // namespace
