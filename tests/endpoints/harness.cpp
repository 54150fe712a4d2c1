#include "harness.h"

#include <gtest/gtest.h>

namespace eptest {

using testsupport::ChildResult;
using testsupport::TempDir;

std::string digest_of(const std::string &content) { return testsupport::sha256_digest(content); }

std::string blob_file(const std::string &content) {
  std::string hex = digest_of(content).substr(7);
  return "blobs/sha256/" + hex.substr(0, 2) + "/" + hex;
}

std::vector<std::pair<std::string, std::string>> manifest_files(const std::string &repo,
                                                                const std::string &tag,
                                                                const std::string &body,
                                                                const std::string &type) {
  const std::string d = digest_of(body);
  const std::string hex = d.substr(7);
  const std::string m = "repositories/" + repo + "/_manifests/";
  std::vector<std::pair<std::string, std::string>> files = {
      {m + hex, body},
      {m + hex + ".ct", type},
      {m + "revisions/sha256/" + hex + "/link", d},
  };
  if (!tag.empty()) files.push_back({m + "tags/" + tag + "/current/link", d});
  return files;
}

std::string manifest_json(const std::string &config, const std::vector<std::string> &layers) {
  std::string s =
      R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
      R"("config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" +
      digest_of(config) + R"(","size":)" + std::to_string(config.size()) + R"(},"layers":[)";
  for (size_t i = 0; i < layers.size(); i++) {
    if (i) s += ",";
    s += R"({"mediaType":"application/vnd.oci.image.layer.v1.tar+gzip","digest":")" +
         digest_of(layers[i]) + R"(","size":)" + std::to_string(layers[i].size()) + "}";
  }
  return s + "]}";
}

std::string index_json(const std::vector<std::string> &manifests) {
  std::string s =
      R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[)";
  for (size_t i = 0; i < manifests.size(); i++) {
    if (i) s += ",";
    s += R"({"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":")" +
         digest_of(manifests[i]) + R"(","size":)" + std::to_string(manifests[i].size()) +
         R"(,"platform":{"architecture":"a)" + std::to_string(i) + R"(","os":"linux"}})";
  }
  return s + "]}";
}

void seed_store(const std::string &root, const Seed &seed) {
  auto put = [&](const std::string &rel, const std::string &content) {
    std::string f = root + "/" + rel;
    testsupport::make_dirs(f.substr(0, f.rfind('/')));
    testsupport::write_all(f, content);
  };
  for (const auto &b : seed.blobs) put(blob_file(b), b);
  for (const auto &[rel, content] : seed.files) put(rel, content);
}

ChildResult run(const std::string &program, const std::string &root, const Request &req,
                const std::string &cwd) {
  std::map<std::string, std::string> env = {{"REGISTRY_STORAGE_ROOT", root},
                                            {"REQUEST_METHOD", req.method},
                                            {"PATH_INFO", req.path}};
  if (!req.query.empty()) env["QUERY_STRING"] = req.query;
  if (!req.body.empty()) env["CONTENT_LENGTH"] = std::to_string(req.body.size());
  for (const auto &[k, v] : req.env) env[k] = v;
  return testsupport::run_program(std::string(REGISTRY_BIN_DIR) + "/" + program, {}, env,
                                  req.body, cwd);
}

std::string reply(const std::string &status, const std::vector<std::string> &lines,
                  const std::string &body) {
  std::string out = "Status: " + status + "\r\nDocker-Distribution-API-Version: registry/2.0\r\n";
  for (const auto &l : lines) out += l + "\r\n";
  return out + "\r\n" + body;
}

std::string error_reply(int status, const std::string &code, const std::string &message,
                        const std::vector<std::string> &extra) {
  std::string out = "Status: " + std::to_string(status) +
                    "\r\nDocker-Distribution-API-Version: registry/2.0\r\n";
  for (const auto &l : extra) out += l + "\r\n";
  return out + "Content-Type: application/json; charset=utf-8\r\n\r\n"
               "{\"errors\":[{\"code\":\"" + code + "\",\"message\":\"" + message + "\"}]}\n";
}

std::string page_reply(const std::string &doc, const std::string &next_page) {
  std::vector<std::string> lines = {kJsonType};
  if (!next_page.empty()) lines.push_back("Link: <" + next_page + ">; rel=\"next\"");
  return reply("200 OK", lines, doc + "\n");
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::string case_name(const ::testing::TestParamInfo<Case> &info) { return info.param.name; }

std::string printable(const std::string &s) {
  if (s.size() > 2000) return "<" + std::to_string(s.size()) + " bytes>";
  std::string out;
  for (char c : s) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n\n";
    else
      out += c;
  }
  return out;
}

void run_case(const std::string &program, const Seed &seed, const Request &req,
              const std::string &want_out, const std::vector<FileCheck> &checks) {
  TempDir tmp;
  const std::string root = tmp.sub("store");
  testsupport::make_dirs(root);
  testsupport::make_dirs(tmp.sub("cwd"));
  seed_store(root, seed);
  ChildResult r = run(program, root, req, tmp.sub("cwd"));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.err, "");
  if (r.out.size() > 2000 || want_out.size() > 2000) {
    EXPECT_TRUE(r.out == want_out) << "got " << printable(r.out.substr(0, 600)) << " ("
                                   << r.out.size() << " bytes), want "
                                   << printable(want_out.substr(0, 600)) << " ("
                                   << want_out.size() << " bytes)";
  } else {
    EXPECT_EQ(printable(r.out), printable(want_out));
  }
  for (const auto &[rel, want] : checks) {
    const std::string f = root + "/" + rel;
    if (!want) {
      EXPECT_FALSE(testsupport::exists(f)) << rel << " should not exist";
    } else {
      EXPECT_TRUE(testsupport::exists(f)) << rel << " should exist";
      EXPECT_TRUE(testsupport::read_all(f) == *want) << rel << " holds the wrong bytes";
    }
  }
}

}  // namespace eptest
