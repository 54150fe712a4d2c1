// What the process-level tests of the registry's endpoint programs share:
// a store seeded raw on disk, one request run as a CGI process with a clean
// environment, and the exact replies the programs write.
#ifndef REGISTRY_ENDPOINT_HARNESS_H
#define REGISTRY_ENDPOINT_HARNESS_H

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace eptest {

// One request. `env` carries further CGI variables: CONTENT_TYPE,
// HTTP_RANGE, HTTP_CONTENT_RANGE, or CONTENT_LENGTH to override the length
// announced for `body`.
struct Request {
  std::string method = "GET";
  std::string path{};
  std::string query{};
  std::string body{};
  std::map<std::string, std::string> env{};
};

// What the store holds before the request: blobs by content, and any other
// file by its path below the storage root.
struct Seed {
  std::vector<std::string> blobs{};
  std::vector<std::pair<std::string, std::string>> files{};
};

// A path below the storage root and what it must hold afterwards; nullopt:
// it must not exist.
using FileCheck = std::pair<std::string, std::optional<std::string>>;

std::string digest_of(const std::string &content);
std::string blob_file(const std::string &content);
// The files of a stored manifest as the store writes them, tagged `tag`
// unless it is empty.
std::vector<std::pair<std::string, std::string>> manifest_files(const std::string &repo,
                                                                const std::string &tag,
                                                                const std::string &body,
                                                                const std::string &type);
// An image manifest naming blobs `config` and `layers` by content.
std::string manifest_json(const std::string &config, const std::vector<std::string> &layers);
// An image index naming manifests by body.
std::string index_json(const std::vector<std::string> &manifests);

// Writes the seed below `root`.
void seed_store(const std::string &root, const Seed &seed);
// Runs `program` (a name in the build's endpoint directory) on the request
// against the store at `root`, in an empty working directory.
testsupport::ChildResult run(const std::string &program, const std::string &root,
                             const Request &req, const std::string &cwd);

// "Status: <status>", the API version line, `lines`, the blank line, body.
std::string reply(const std::string &status, const std::vector<std::string> &lines = {},
                  const std::string &body = "");
// The error reply of oci_send_error, with `extra` header lines after the API
// version line.
std::string error_reply(int status, const std::string &code, const std::string &message,
                        const std::vector<std::string> &extra = {});
// A reply with control characters made visible; long ones summarised.
std::string printable(const std::string &s);

// Runs one table case: seeds a fresh store, runs the request, compares the
// whole standard output, the exit status and the file checks.
void run_case(const std::string &program, const Seed &seed, const Request &req,
              const std::string &want_out, const std::vector<FileCheck> &checks);

// The JSON content-type line of every JSON reply.
inline const std::string kJsonType = "Content-Type: application/json; charset=utf-8";
// A listing page: 200 OK, JSON, a Link header to `next_page` when it is not
// empty, and the document with its line end.
std::string page_reply(const std::string &doc, const std::string &next_page = "");

// One row of a program's table of requests: `name` is the test's name.
struct Case {
  std::string name;
  Seed seed;
  Request req;
  std::string want_out;
  std::vector<FileCheck> checks{};
};
void PrintTo(const Case &c, std::ostream *os);
std::string case_name(const ::testing::TestParamInfo<Case> &info);

// A program's table, run row by row. Calling sequence, per program:
//   class V2FooProgram : public eptest::ProgramTest {};
//   TEST_P(V2FooProgram, Replies) { run("v2_foo"); }
//   INSTANTIATE_TEST_SUITE_P(Requests, V2FooProgram, ::testing::ValuesIn(cases()),
//                            eptest::case_name);
class ProgramTest : public ::testing::TestWithParam<Case> {
 protected:
  void run(const std::string &program) {
    const Case &c = GetParam();
    run_case(program, c.seed, c.req, c.want_out, c.checks);
  }
};

}  // namespace eptest

#endif
