// A store with repositories in it: where a repository's manifest files lie,
// tag links and repository directories written raw, and a manifest put that
// must succeed. For the tests of the manifest operations, the listings and
// the statistics, which all read the same tree below root/repositories.
//
// Calling sequence: derive the test class from RepositoryFixture (use
// TEST_F); set-up and tear-down are StorageFixture's. Paths use '/' and are
// absolute.
#ifndef REGISTRY_TESTS_REPOSITORY_FIXTURE_H
#define REGISTRY_TESTS_REPOSITORY_FIXTURE_H

#include <string>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "storage_fixture.h"
#include "support.h"

namespace storagetest {

// The text of a call that may give null: the text, or "<null>".
inline std::string or_null(const char *s) { return s != nullptr ? std::string(s) : "<null>"; }

class RepositoryFixture : public StorageFixture {
 protected:
  // root/repositories
  std::string repos() const { return at("repositories"); }
  // root/repositories/<repo>/_manifests: all manifest data of a repository.
  std::string mdir(const std::string &repo) const { return repos() + "/" + repo + "/_manifests"; }
  std::string body_file(const std::string &repo, const std::string &digest) const {
    return mdir(repo) + "/" + hex_of(digest);
  }
  std::string ct_file(const std::string &repo, const std::string &digest) const {
    return body_file(repo, digest) + ".ct";
  }
  std::string rev_link(const std::string &repo, const std::string &digest) const {
    return mdir(repo) + "/revisions/sha256/" + hex_of(digest) + "/link";
  }
  std::string tags_dir(const std::string &repo) const { return mdir(repo) + "/tags"; }
  // The directory of a tag's link: .../tags/<tag>/current.
  std::string tag_dir(const std::string &repo, const std::string &tag) const {
    return tags_dir(repo) + "/" + tag + "/current";
  }
  std::string tag_link(const std::string &repo, const std::string &tag) const {
    return tag_dir(repo, tag) + "/link";
  }

  // A tag link holding `text`, written raw with the directories above it.
  // Listings and counts only ask whether a link can be read, so they need
  // no particular text.
  void put_tag(const std::string &repo, const std::string &tag,
               const std::string &text = "x") const {
    testsupport::make_dirs(tag_dir(repo, tag));
    testsupport::write_all(tag_link(repo, tag), text);
  }
  // A repository directory with its _manifests directory and nothing in it.
  void put_repo(const std::string &repo) const { testsupport::make_dirs(mdir(repo)); }

  // Stores `body` through reg_manifest_put, expecting success; gives the
  // digest it was stored under.
  std::string put(const std::string &repo, const std::string &ref, const std::string &body,
                  const char *type = nullptr) const {
    char digest[72] = "";
    EXPECT_EQ(reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), type, digest),
              0)
        << last_error();
    return digest;
  }
};

}  // namespace storagetest

#endif
