// Paged tag list and catalog: trees written raw on disk, walked page by
// page through out_next until it comes back empty.
#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "repository_fixture.h"
#include "support.h"

namespace {

using storagetest::kNotReady;
using storagetest::or_null;
using testsupport::make_dirs;
using testsupport::write_all;

// The quoted names of a page document, in order: enough to read back what
// the writer put in, since listed names never need escaping.
std::vector<std::string> names_in(const std::string &doc) {
  std::vector<std::string> out;
  size_t open = doc.find('[');
  size_t pos = open + 1;
  while (true) {
    size_t a = doc.find('"', pos);
    if (a == std::string::npos) break;
    size_t b = doc.find('"', a + 1);
    out.push_back(doc.substr(a + 1, b - a - 1));
    pos = b + 1;
  }
  return out;
}

class Paging : public storagetest::RepositoryFixture {
 protected:
  struct Page {
    std::string doc, next;
  };
  Page tags(const char *repo, int n, const char *last) {
    char next[REG_NEXT_SIZE] = "untouched";
    Page p{or_null(reg_tags_page_json(repo, n, last, next, sizeof next)), next};
    return p;
  }
  Page catalog(int n, const char *last) {
    char next[REG_NEXT_SIZE] = "untouched";
    Page p{or_null(reg_catalog_page_json(n, last, next, sizeof next)), next};
    return p;
  }
  // Every name, following out_next from page to page; each page but the
  // last holds exactly `n` names.
  template <typename F>
  std::vector<std::string> all_pages(int n, F page_of) {
    std::vector<std::string> all;
    std::string last;
    for (int guard = 0; guard < 10000; guard++) {
      Page p = page_of(n, last.empty() ? nullptr : last.c_str());
      std::vector<std::string> got = names_in(p.doc);
      all.insert(all.end(), got.begin(), got.end());
      if (p.next.empty()) return all;
      EXPECT_EQ(static_cast<int>(got.size()), std::min(n, REG_PAGE_MAX));
      EXPECT_EQ(p.next, got.back());
      last = p.next;
    }
    ADD_FAILURE() << "paging did not end";
    return all;
  }
};

TEST_F(Paging, EveryTagOfALargeRepositoryArrivesOnceInOrder) {
  std::vector<std::string> want;
  for (int i = 0; i < 1203; i++) {
    std::string t = "v" + std::to_string(i);
    put_tag("team/app", t);
    want.push_back(t);
  }
  std::sort(want.begin(), want.end());
  for (int n : {1, 97, 1000, 5000}) {
    SCOPED_TRACE(n);
    auto page_of = [&](int size, const char *last) { return tags("team/app", size, last); };
    EXPECT_EQ(all_pages(n, page_of), want);
  }
  Page first = tags("team/app", 2, nullptr);
  EXPECT_EQ(first.doc, R"({"name":"team/app","tags":["v0","v1"]})");
  EXPECT_EQ(first.next, "v1");
}

TEST_F(Paging, OnlyValidTagsWithAReadableLinkAreListed) {
  put_tag("app", "b");
  put_tag("app", "empty", "");  // an empty link still makes a tag
  put_tag("app", "-lead");      // a name no client could ask for
  put_tag("app", "a b");
  make_dirs(repos() + "/app/_manifests/tags/nolink/current");
  write_all(repos() + "/app/_manifests/tags/plainfile", "x");
  put_tag("app", "a");
  put_tag("other", "z");

  struct Case {
    const char *repo;
    int n;
    const char *last;
    const char *doc, *next;
  };
  const Case cases[] = {
      {"app", 10, nullptr, R"({"name":"app","tags":["a","b","empty"]})", ""},
      {"app", 2, nullptr, R"({"name":"app","tags":["a","b"]})", "b"},
      {"app", 2, "b", R"({"name":"app","tags":["empty"]})", ""},
      {"app", 10, "aa", R"({"name":"app","tags":["b","empty"]})", ""},  // between names
      {"app", 10, "", R"({"name":"app","tags":["a","b","empty"]})", ""},
      {"app", 10, "zzz", R"({"name":"app","tags":[]})", ""},
      {"app", 0, nullptr, R"({"name":"app","tags":[]})", ""},
      {"none", 10, nullptr, R"({"name":"none","tags":[]})", ""},
      {"a\\b", 10, nullptr, R"({"name":"a\\b","tags":[]})", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.repo) + " " + std::to_string(c.n) + " " + (c.last ? c.last : "-"));
    Page p = tags(c.repo, c.n, c.last);
    EXPECT_EQ(p.doc, c.doc);
    EXPECT_EQ(p.next, c.next);
  }
}

TEST_F(Paging, CatalogListsFullNamesAtAnyDepth) {
  put_repo("a");
  put_repo("team/app");
  put_repo("team/app/sub");             // a repository below another one
  put_repo("team/deep/er/still/repo");  // through directories that are none
  make_dirs(repos() + "/team/empty");    // no _manifests: not a repository
  put_tag("team/app", "v1");             // nothing below _manifests is walked
  make_dirs(repos() + "/team/app/_manifests/x/_manifests");
  put_repo("bad name");
  put_repo("-lead");
  put_repo("team/_hidden");
  write_all(repos() + "/file", "x");

  Page all = catalog(100, nullptr);
  EXPECT_EQ(all.doc,
            R"({"repositories":["a","team/app","team/app/sub","team/deep/er/still/repo"]})");
  EXPECT_EQ(all.next, "");
  Page p = catalog(2, nullptr);
  EXPECT_EQ(p.doc, R"({"repositories":["a","team/app"]})");
  EXPECT_EQ(p.next, "team/app");
  p = catalog(2, "team/app");
  EXPECT_EQ(p.doc, R"({"repositories":["team/app/sub","team/deep/er/still/repo"]})");
  EXPECT_EQ(p.next, "");
  p = catalog(0, nullptr);
  EXPECT_EQ(p.doc, R"({"repositories":[]})");
  EXPECT_EQ(p.next, "");
}

TEST_F(Paging, CatalogPagesOverMoreRepositoriesThanOneListingHolds) {
  std::vector<std::string> want;
  for (int i = 0; i < 1100; i++) {
    std::string r = (i % 2 ? "org/r" : "r") + std::to_string(i);
    put_repo(r);
    want.push_back(r);
  }
  std::sort(want.begin(), want.end());
  auto page_of = [&](int size, const char *last) { return catalog(size, last); };
  EXPECT_EQ(all_pages(333, page_of), want);
  EXPECT_EQ(all_pages(100000, page_of), want);
}

TEST_F(Paging, FailuresReturnNullWithTheirMessageAndLeaveNextAlone) {
  char next[REG_NEXT_SIZE] = "untouched";
  struct Case {
    const char *what;
    std::function<const char *()> call;
    const char *error;
  };
  const Case cases[] = {
      {"null repo", [&] { return reg_tags_page_json(nullptr, 1, nullptr, next, sizeof next); },
       "repo_name is NULL"},
      {"null next", [&] { return reg_tags_page_json("app", 1, nullptr, nullptr, 256); },
       "NULL argument"},
      {"small next", [&] { return reg_tags_page_json("app", 1, nullptr, next, 255); },
       "next buffer too small"},
      {"bad name", [&] { return reg_tags_page_json("a..b", 1, nullptr, next, sizeof next); },
       "invalid repository name"},
      {"negative n", [&] { return reg_tags_page_json("app", -1, nullptr, next, sizeof next); },
       "invalid page size"},
      {"catalog negative n", [&] { return reg_catalog_page_json(-5, nullptr, next, sizeof next); },
       "invalid page size"},
      {"catalog null next", [&] { return reg_catalog_page_json(1, nullptr, nullptr, 256); },
       "NULL argument"},
      {"catalog small next", [&] { return reg_catalog_page_json(1, nullptr, next, 1); },
       "next buffer too small"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), c.error);
    EXPECT_STREQ(next, "untouched");
  }
  reg_storage_cleanup();
  EXPECT_EQ(reg_catalog_page_json(1, nullptr, next, sizeof next), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(reg_tags_page_json("app", 1, nullptr, next, sizeof next), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
}

}  // namespace
