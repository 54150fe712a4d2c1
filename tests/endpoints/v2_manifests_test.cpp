// The built v2_manifests program run as a CGI process: one table of
// requests, each checked by its exact reply bytes and the manifest files
// afterwards.
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
using eptest::index_json;
using eptest::manifest_files;
using eptest::manifest_json;
using eptest::reply;
using eptest::Request;
using eptest::Seed;

constexpr char kOciManifest[] = "application/vnd.oci.image.manifest.v1+json";
constexpr char kOciIndex[] = "application/vnd.oci.image.index.v1+json";
constexpr char kDockerList[] = "application/vnd.docker.distribution.manifest.list.v2+json";

std::string mdir(const std::string &repo) { return "repositories/" + repo + "/_manifests/"; }
std::string body_path(const std::string &repo, const std::string &body) {
  return mdir(repo) + digest_of(body).substr(7);
}
std::string tag_path(const std::string &repo, const std::string &tag) {
  return mdir(repo) + "tags/" + tag + "/current/link";
}

std::string created(const std::string &repo, const std::string &body) {
  const std::string d = digest_of(body);
  return reply("201 Created", {"Location: /v2/" + repo + "/manifests/" + d,
                               "Docker-Content-Digest: " + d, "Content-Length: 0"});
}
std::string found(const std::string &body, const std::string &type, bool with_body = true) {
  return reply("200 OK",
               {"Content-Type: " + type, "Docker-Content-Digest: " + digest_of(body),
                "Content-Length: " + std::to_string(body.size())},
               with_body ? body : "");
}

// The files of a stored manifest, as checks.
std::vector<FileCheck> stored(const std::string &repo, const std::string &tag,
                              const std::string &body, const std::string &type) {
  std::vector<FileCheck> out;
  for (const auto &[p, c] : manifest_files(repo, tag, body, type)) out.push_back({p, c});
  return out;
}
std::vector<FileCheck> nothing_of(const std::string &repo, const std::string &body) {
  return {{body_path(repo, body), std::nullopt}, {body_path(repo, body) + ".ct", std::nullopt}};
}

template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<Case> cases() {
  const std::string cfg = "{\"architecture\":\"amd64\"}";
  const std::string l1 = "layer one", l2 = "layer two", cfg2 = "{\"architecture\":\"arm64\"}";
  const std::string m1 = manifest_json(cfg, {l1, l2});
  const std::string m2 = manifest_json(cfg2, {l2});
  const std::string idx = index_json({m1, m2});
  // A stored manifest larger than the store's 1 MiB result buffer.
  std::string huge = manifest_json(cfg, {l1});
  huge.insert(huge.size() - 1, ",\"annotations\":{\"pad\":\"" + std::string(3u << 19, 'x') + "\"}");
  // A manifest of exactly the largest size a PUT takes.
  std::string max_body = manifest_json(cfg, {l1});
  const std::string pad_head = ",\"annotations\":{\"pad\":\"", pad_tail = "\"}";
  max_body.insert(max_body.size() - 1,
                  pad_head + std::string((4u << 20) - max_body.size() - pad_head.size() -
                                             pad_tail.size(), 'p') + pad_tail);

  const Seed blobs{.blobs = {cfg, cfg2, l1, l2}};
  Seed stored_m1 = blobs;
  stored_m1.files = manifest_files("team/app", "v1", m1, kOciManifest);
  Seed children = blobs;
  children.files = manifest_files("team/app", "", m1, kOciManifest) +
                   manifest_files("team/app", "", m2, kOciManifest);
  // m1 under two tags and its digest; m2 under a third tag.
  Seed shared = blobs;
  shared.files = manifest_files("app", "a", m1, kOciManifest) +
                 std::vector<std::pair<std::string, std::string>>{
                     {tag_path("app", "b"), digest_of(m1)}} +
                 manifest_files("app", "c", m2, kOciManifest);
  Seed big{.blobs = {cfg, l1}, .files = manifest_files("app", "big", huge, kOciManifest)};

  const std::string p = "/v2/team/app/manifests/";
  auto ct = [](const std::string &t) {
    return std::map<std::string, std::string>{{"CONTENT_TYPE", t}};
  };
  const std::string unknown = error_reply(404, "MANIFEST_UNKNOWN", "manifest unknown");
  const std::string invalid = error_reply(400, "MANIFEST_INVALID", "manifest invalid");

  // clang-format off
  return {
    // PUT of image manifests.
    {"put_by_tag_stores_the_manifest_and_tags_it", blobs,
     {.method = "PUT", .path = p + "v1", .body = m1, .env = ct(kOciManifest)},
     created("team/app", m1), stored("team/app", "v1", m1, kOciManifest)},
    {"put_by_its_own_digest_stores_without_a_tag", blobs,
     {.method = "PUT", .path = p + digest_of(m1), .body = m1, .env = ct(kOciManifest)},
     created("team/app", m1),
     stored("team/app", "", m1, kOciManifest) + std::vector<FileCheck>{{mdir("team/app") + "tags", std::nullopt}}},
    {"put_by_another_digest_is_refused", blobs,
     {.method = "PUT", .path = p + digest_of(m2), .body = m1, .env = ct(kOciManifest)},
     error_reply(400, "DIGEST_INVALID", "manifest digest does not match the reference"),
     nothing_of("team/app", m1)},
    {"put_naming_an_unstored_layer_is_refused", {.blobs = {cfg, l1}},
     {.method = "PUT", .path = p + "v1", .body = m1, .env = ct(kOciManifest)},
     error_reply(400, "MANIFEST_BLOB_UNKNOWN", "blob unknown to registry: " + digest_of(l2)),
     nothing_of("team/app", m1) + std::vector<FileCheck>{{tag_path("team/app", "v1"), std::nullopt}}},
    {"put_naming_an_unstored_config_is_refused", {.blobs = {l1, l2}},
     {.method = "PUT", .path = p + "v1", .body = m1, .env = ct(kOciManifest)},
     error_reply(400, "MANIFEST_BLOB_UNKNOWN", "blob unknown to registry: " + digest_of(cfg)),
     nothing_of("team/app", m1)},
    {"put_of_a_body_that_is_no_manifest", blobs,
     {.method = "PUT", .path = p + "v1", .body = "{\"config\":7}", .env = ct(kOciManifest)},
     invalid, nothing_of("team/app", "{\"config\":7}")},
    {"put_of_no_json_at_all", blobs, {.method = "PUT", .path = p + "v1", .body = "not json"},
     invalid},
    {"put_without_body", blobs, {.method = "PUT", .path = p + "v1"}, invalid},
    {"put_without_media_type_stores_the_default_type", blobs,
     {.method = "PUT", .path = p + "v1", .body = m1},
     created("team/app", m1),
     stored("team/app", "v1", m1, "application/vnd.docker.distribution.manifest.v2+json")},
    {"put_of_an_index_as_a_manifest_is_invalid", children,
     {.method = "PUT", .path = p + "v1", .body = idx, .env = ct(kOciManifest)}, invalid},
    {"put_with_a_control_byte_in_the_media_type", blobs,
     {.method = "PUT", .path = p + "v1", .body = m1, .env = ct("text/x\r\nX-Evil: 1")},
     error_reply(400, "MANIFEST_INVALID", "invalid media type"), nothing_of("team/app", m1)},
    {"put_with_a_media_type_too_long_to_read_back", blobs,
     {.method = "PUT", .path = p + "v1", .body = m1, .env = ct(std::string(127, 't'))},
     error_reply(400, "MANIFEST_INVALID", "invalid media type"), nothing_of("team/app", m1)},
    {"put_announcing_more_than_4_MiB_is_refused_unread", blobs,
     {.method = "PUT", .path = p + "v1", .body = m1,
      .env = {{"CONTENT_LENGTH", std::to_string((4u << 20) + 1)}}},
     error_reply(413, "SIZE_INVALID", "manifest larger than 4 MiB"), nothing_of("team/app", m1)},
    {"put_whose_body_ends_before_the_announced_length_is_refused", blobs,
     {.method = "PUT", .path = p + "v1", .body = m1,
      .env = {{"CONTENT_TYPE", kOciManifest}, {"CONTENT_LENGTH", std::to_string(m1.size() + 1)}}},
     error_reply(400, "SIZE_INVALID", "manifest body shorter than announced"),
     nothing_of("team/app", m1) + std::vector<FileCheck>{{tag_path("team/app", "v1"), std::nullopt}}},
    {"put_of_exactly_4_MiB_is_stored", blobs,
     {.method = "PUT", .path = p + "max", .body = max_body, .env = ct(kOciManifest)},
     created("team/app", max_body), stored("team/app", "max", max_body, kOciManifest)},
    {"put_with_an_invalid_tag", blobs,
     {.method = "PUT", .path = p + "-v1", .body = m1}, error_reply(400, "TAG_INVALID", "invalid tag")},
    {"put_with_a_tag_of_129_characters", blobs,
     {.method = "PUT", .path = p + std::string(129, 't'), .body = m1},
     error_reply(400, "TAG_INVALID", "invalid tag")},
    {"put_with_a_malformed_digest", blobs,
     {.method = "PUT", .path = p + "sha256:abc", .body = m1},
     error_reply(400, "DIGEST_INVALID", "invalid digest")},
    {"put_with_another_algorithm", blobs,
     {.method = "PUT", .path = p + "sha512:" + std::string(128, 'a'), .body = m1},
     error_reply(400, "DIGEST_INVALID", "invalid digest")},
    {"put_to_a_name_the_store_refuses", blobs,
     {.method = "PUT", .path = "/v2/a..b/manifests/v1", .body = m1},
     error_reply(400, "NAME_INVALID", "invalid repository name")},
    {"put_to_a_name_reaching_into_the_store", blobs,
     {.method = "PUT", .path = "/v2/team/app/_manifests/manifests/v1", .body = m1},
     error_reply(400, "NAME_INVALID", "invalid repository name")},
    {"put_to_a_name_with_a_dot_component", blobs,
     {.method = "PUT", .path = "/v2/team/./app/manifests/v1", .body = m1},
     error_reply(400, "NAME_INVALID", "invalid repository name")},
    {"name_may_hold_a_manifests_component", blobs,
     {.method = "PUT", .path = "/v2/a/manifests/b/manifests/v1", .body = m1, .env = ct(kOciManifest)},
     created("a/manifests/b", m1), stored("a/manifests/b", "v1", m1, kOciManifest)},

    // PUT of image indexes.
    {"put_of_an_index_whose_manifests_are_stored", children,
     {.method = "PUT", .path = p + "multi", .body = idx, .env = ct(kOciIndex)},
     created("team/app", idx), stored("team/app", "multi", idx, kOciIndex)},
    {"put_of_a_manifest_list_with_parameters_in_its_type", children,
     {.method = "PUT", .path = p + "multi", .body = idx,
      .env = ct(std::string(kDockerList) + "; charset=utf-8")},
     created("team/app", idx),
     stored("team/app", "multi", idx, std::string(kDockerList) + "; charset=utf-8")},
    {"put_of_an_index_naming_an_unstored_manifest", stored_m1,
     {.method = "PUT", .path = p + "multi", .body = idx, .env = ct(kOciIndex)},
     error_reply(400, "MANIFEST_BLOB_UNKNOWN", "manifest unknown to registry: " + digest_of(m2)),
     nothing_of("team/app", idx)},
    {"put_of_a_manifest_as_an_index_is_invalid", blobs,
     {.method = "PUT", .path = p + "multi", .body = m1, .env = ct(kOciIndex)}, invalid},

    // GET and HEAD.
    {"get_by_tag", stored_m1, {.path = p + "v1"}, found(m1, kOciManifest)},
    {"get_by_digest", stored_m1, {.path = p + digest_of(m1)}, found(m1, kOciManifest)},
    {"head_by_tag", stored_m1, {.method = "HEAD", .path = p + "v1"}, found(m1, kOciManifest, false)},
    {"get_of_a_manifest_larger_than_the_result_buffer_is_whole", big,
     {.path = "/v2/app/manifests/big"}, found(huge, kOciManifest)},
    {"get_of_an_unknown_tag", stored_m1, {.path = p + "v2"}, unknown},
    {"get_of_an_unknown_digest", stored_m1, {.path = p + digest_of(m2)}, unknown},
    {"get_in_an_unknown_repository", stored_m1, {.path = "/v2/none/manifests/v1"}, unknown},
    {"get_of_a_tag_whose_link_is_corrupt",
     {.files = {{tag_path("team/app", "bad"), "sha256:nonsense"}}}, {.path = p + "bad"}, unknown},

    // DELETE.
    {"delete_by_digest_takes_every_tag_naming_it", shared,
     {.method = "DELETE", .path = "/v2/app/manifests/" + digest_of(m1)},
     reply("202 Accepted", {"Content-Length: 0"}),
     nothing_of("app", m1) + std::vector<FileCheck>{{tag_path("app", "a"), std::nullopt},
                                                    {tag_path("app", "b"), std::nullopt}} +
         stored("app", "c", m2, kOciManifest)},
    {"delete_by_tag_keeps_a_manifest_another_tag_names", shared,
     {.method = "DELETE", .path = "/v2/app/manifests/a"},
     reply("202 Accepted", {"Content-Length: 0"}),
     std::vector<FileCheck>{{tag_path("app", "a"), std::nullopt},
                            {tag_path("app", "b"), digest_of(m1)},
                            {body_path("app", m1), m1}}},
    {"delete_by_the_last_tag_takes_the_manifest", shared,
     {.method = "DELETE", .path = "/v2/app/manifests/c"},
     reply("202 Accepted", {"Content-Length: 0"}),
     nothing_of("app", m2) + std::vector<FileCheck>{{body_path("app", m1), m1}}},
    {"delete_of_an_unknown_digest", shared,
     {.method = "DELETE", .path = "/v2/app/manifests/" + digest_of(idx)}, unknown},
    {"delete_of_an_unknown_tag", shared, {.method = "DELETE", .path = "/v2/app/manifests/zz"},
     unknown, {{body_path("app", m1), m1}}},

    // Paths and methods.
    {"other_methods_are_not_allowed", stored_m1, {.method = "POST", .path = p + "v1"},
     error_reply(405, "UNSUPPORTED", "Method not allowed for manifest endpoint")},
    {"path_without_marker", stored_m1, {.path = "/v2/team/app/blobs/x"},
     error_reply(404, "NAME_UNKNOWN", "repository name not known")},
    {"empty_reference", stored_m1, {.path = p}, unknown},
  };
  // clang-format on
}

class V2ManifestsProgram : public eptest::ProgramTest {};

TEST_P(V2ManifestsProgram, Replies) { run("v2_manifests"); }

INSTANTIATE_TEST_SUITE_P(Requests, V2ManifestsProgram, ::testing::ValuesIn(cases()),
                         eptest::case_name);

}  // namespace
