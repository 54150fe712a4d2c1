// Tag list and catalog: trees written raw on disk, read back as JSON, plus
// the escaper, the sort and the bounded list writer on their own.
#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "reg_storage.h"
#include "repository_fixture.h"
#include "storage_internal.h"
#include "support.h"

namespace {

using storagetest::kNotReady;
using storagetest::or_null;
using testsupport::make_dirs;
using testsupport::remove_tree;
using testsupport::write_all;

class Listings : public storagetest::RepositoryFixture {
 protected:
  std::string tags(const char *repo) { return or_null(reg_tags_list_json(repo)); }
  std::string catalog(int page_size, const char *last) {
    return or_null(reg_catalog_json(page_size, last));
  }
};

TEST_F(Listings, TagListIsSortedByByteValue) {
  for (const char *t : {"stable", "Beta", "_rc", "1.9-alpine", "1.9", "1.10"}) put_tag("team/app", t);
  EXPECT_EQ(tags("team/app"),
            R"({"name":"team/app","tags":["1.10","1.9","1.9-alpine","Beta","_rc","stable"]})");
}

TEST_F(Listings, TagListKeepsOnlyDirectoriesWithAReadableLink) {
  put_tag("app", "good");
  put_tag("app", "empty", "");  // an empty link still makes a tag
  make_dirs(tags_dir("app") + "/nolink/current");
  make_dirs(tags_dir("app") + "/nocurrent");
  make_dirs(tags_dir("app") + "/linkdir/current/link");  // link is a directory
  write_all(tags_dir("app") + "/file", "x");
  write_all(tags_dir("app") + "/filetag", "x");
  EXPECT_EQ(tags("app"), R"({"name":"app","tags":["empty","good"]})");
}

TEST_F(Listings, TagListOfRepositoryWithoutTagsIsEmpty) {
  make_dirs(repos() + "/bare");  // repository directory without _manifests
  make_dirs(tags_dir("notags"));
  const char *cases[][2] = {
      {"team/none", R"({"name":"team/none","tags":[]})"},
      {"bare", R"({"name":"bare","tags":[]})"},
      {"notags", R"({"name":"notags","tags":[]})"},
  };
  for (const auto &c : cases) {
    regst::set_error("earlier failure");
    EXPECT_EQ(tags(c[0]), c[1]);
    EXPECT_STREQ(reg_storage_last_error(), "earlier failure") << c[0];
  }
}

TEST_F(Listings, RepositoryNameWithBackslashIsNestedAndEscaped) {
  put_tag("team/app", "v1");
  EXPECT_EQ(tags("team\\app"), R"({"name":"team\\app","tags":["v1"]})");
}

TEST_F(Listings, TagNamesAreEscaped) {
  for (const char *t : {"\x01", "\x1f", "q\"", "tab\there", "\xc3\xa9\x7f"}) put_tag("app", t);
  EXPECT_EQ(tags("app"),
            "{\"name\":\"app\",\"tags\":[\"\\u0001\",\"\\u001f\",\"q\\\"\",\"tab\\there\","
            "\"\xc3\xa9\x7f\"]}");
}

TEST_F(Listings, TagListTakesOnlyTheFirst512EntriesOfTheDirectory) {
  for (int i = 0; i < 513; i++) put_tag("big", "t" + std::to_string(1000 + i));
  std::string doc = tags("big");
  ASSERT_EQ(doc.rfind(R"({"name":"big","tags":[")", 0), 0u) << doc.substr(0, 80);
  ASSERT_EQ(doc.substr(doc.size() - 2), "]}");
  size_t listed = 0;
  for (size_t p = 0; (p = doc.find("\"t1", p)) != std::string::npos; p++) listed++;
  EXPECT_EQ(listed, 512u);
}

TEST_F(Listings, CatalogPagesAfterTheLastName) {
  for (const char *r : {"c", "a", "b"}) make_dirs(repos() + "/" + r);
  struct Case {
    int page_size;
    const char *last;
    const char *want;
  } cases[] = {
      {0, nullptr, R"(["a","b","c"])"},
      {0, "", R"(["a","b","c"])"},
      {0, "b", R"(["c"])"},
      {0, "bb", R"(["c"])"},
      {0, "0", R"(["a","b","c"])"},
      {0, "z", R"([])"},
      {0, "c", R"([])"},
      {1, nullptr, R"(["a"])"},
      {2, nullptr, R"(["a","b"])"},
      {2, "a", R"(["b","c"])"},
      {1, "a", R"(["b"])"},
      {5, "a", R"(["b","c"])"},
      {-5, nullptr, R"(["a","b","c"])"},
      {INT_MAX, "a", R"(["b","c"])"},  // start + page size must not overflow
  };
  for (const Case &c : cases) {
    EXPECT_EQ(catalog(c.page_size, c.last), std::string(R"({"repositories":)") + c.want + "}")
        << "page " << c.page_size << " last " << or_null(c.last);
  }
}

TEST_F(Listings, CatalogListsEveryDirectoryOneLevelDeep) {
  put_tag("team/app", "v1");
  put_tag("team/web", "v1");
  make_dirs(repos() + "/empty");
  make_dirs(repos() + "/not a valid name\x1f");
  write_all(repos() + "/plainfile", "x");
  EXPECT_EQ(catalog(0, nullptr),
            R"({"repositories":["empty","not a valid name\u001f","team"]})");
}

TEST_F(Listings, CatalogWithoutRepositoryAreaIsEmpty) {
  remove_tree(repos());
  regst::set_error("earlier failure");
  EXPECT_EQ(catalog(0, nullptr), R"({"repositories":[]})");
  EXPECT_STREQ(reg_storage_last_error(), "earlier failure");
}

// The manifest store and the listings must agree on where tags live.
TEST_F(Listings, TagsWrittenByManifestPutAreListedAndCounted) {
  const std::string body =
      R"({"schemaVersion":2,"config":{"digest":"sha256:)" + std::string(64, 'a') + R"("}})";
  char digest[72];
  for (const char *ref : {"v1", "latest"}) {
    ASSERT_EQ(reg_manifest_put("team/app", ref, body.data(), body.size(), nullptr, digest), 0)
        << reg_storage_last_error();
  }
  for (const std::string &ref : {std::string(digest), std::string("v1")}) {
    ASSERT_EQ(reg_manifest_put("solo", ref.c_str(), body.data(), body.size(), nullptr, digest),
              0)
        << reg_storage_last_error();
  }
  EXPECT_EQ(tags("team/app"), R"({"name":"team/app","tags":["latest","v1"]})");
  EXPECT_EQ(tags("solo"), R"({"name":"solo","tags":["v1"]})");
  EXPECT_EQ(catalog(0, nullptr), R"({"repositories":["solo","team"]})");
  // Tags of the nested team/app are not counted, those of solo are.
  std::string stats = or_null(reg_storage_get_stats_json());
  EXPECT_NE(stats.find(R"("repositories":2,"tags":1,)"), std::string::npos) << stats;
}

TEST_F(Listings, FailuresReturnNullWithTheirMessage) {
  const std::string too_long(256, 'a');
  struct Case {
    const char *name;
    const char *error;
  } cases[] = {
      {nullptr, "repo_name is NULL"},
      {"", "invalid repository name"},
      {"a b", "invalid repository name"},
      {"team/../etc", "invalid repository name"},
      {too_long.c_str(), "invalid repository name"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(reg_tags_list_json(c.name), nullptr) << or_null(c.name);
    EXPECT_STREQ(reg_storage_last_error(), c.error) << or_null(c.name);
  }

  reg_storage_cleanup();
  EXPECT_EQ(reg_tags_list_json(nullptr), nullptr);  // the null test comes first
  EXPECT_STREQ(reg_storage_last_error(), "repo_name is NULL");
  EXPECT_EQ(reg_tags_list_json("app"), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  regst::s_error[0] = '\0';
  EXPECT_EQ(reg_catalog_json(0, nullptr), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
}

TEST(JsonEscapeAppend, EscapesEachByteClass) {
  const char *cases[][2] = {
      {"", ""},
      {"plain/name-1.0_x", "plain/name-1.0_x"},
      {"a\"b", "a\\\"b"},
      {"a\\b", "a\\\\b"},
      {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
      {"\x01", "\\u0001"},
      {"\x0b\x1a", "\\u000b\\u001a"},
      {"\x1f", "\\u001f"},
      {" \x7f\x80\xff", " \x7f\x80\xff"},
  };
  for (const auto &c : cases) {
    char buf[64];
    memset(buf, '#', sizeof buf);
    size_t n = regst::json_escape_append(buf, sizeof buf, c[0]);
    EXPECT_EQ(n, strlen(c[1])) << c[1];
    EXPECT_STREQ(buf, c[1]);
  }
  char buf[4] = "###";
  EXPECT_EQ(regst::json_escape_append(buf, sizeof buf, nullptr), 0u);
  EXPECT_STREQ(buf, "");
}

TEST(JsonEscapeAppend, StopsWhileEightBytesRemainAndNeverSplitsAnEscape) {
  struct Case {
    const char *src;
    size_t room;
    const char *want;  // nullptr: nothing at all is written
  } cases[] = {
      {"abcdefghij", 0, nullptr},
      {"abcdefghij", 8, ""},
      {"abcdefghij", 9, "a"},
      {"abcdefghij", 10, "ab"},
      {"abc", 12, "abc"},
      {"\x01\x01", 14, "\\u0001"},
      {"\x01\x01", 15, "\\u0001\\u0001"},
      {"\\\\\\", 10, "\\\\"},
  };
  for (const Case &c : cases) {
    char buf[32];
    memset(buf, '#', sizeof buf);
    size_t n = regst::json_escape_append(buf, c.room, c.src);
    if (c.want == nullptr) {
      EXPECT_EQ(n, 0u);
      EXPECT_EQ(buf[0], '#');
      continue;
    }
    EXPECT_EQ(n, strlen(c.want)) << c.src << " room " << c.room;
    EXPECT_EQ(std::string(buf, n + 1), std::string(c.want) + '\0') << "room " << c.room;
    for (size_t i = c.room; i < sizeof buf; i++) ASSERT_EQ(buf[i], '#') << "room " << c.room;
  }
}

TEST(SortStr, SortsByUnsignedBytesAndKeepsEqualStringsInOrder) {
  char a1[] = "a", a2[] = "a", b1[] = "b", b2[] = "b", hi[] = "\xc3", dash[] = "-", up[] = "Z";
  char *items[] = {b1, a1, hi, b2, a2, up, dash};
  regst::sort_str(items, 7);
  char *want[] = {dash, up, a1, a2, b1, b2, hi};
  for (int i = 0; i < 7; i++) EXPECT_EQ(items[i], want[i]) << "position " << i;

  char *one[] = {b1};
  regst::sort_str(one, 1);
  regst::sort_str(nullptr, 0);
  EXPECT_EQ(one[0], b1);
}

// Every capacity from 0 to beyond the whole document: the writer never
// touches a byte at or past the capacity, and what it leaves is the head,
// as many whole names as fit, and "]}".
TEST(JsonWriteNameList, CutsBeforeAWholeNameAtAnyCapacity) {
  const std::string head = R"({"repositories":[)";
  char n1[] = "aaaaaaaaaaaaaaaaaaaa", n2[] = "b\\b\\b\\b\\", n3[] = "c\x01", n4[] = "d";
  char *names[] = {n1, n2, n3, n4};
  const char *quoted[] = {R"("aaaaaaaaaaaaaaaaaaaa")", R"("b\\b\\b\\b\\")", R"("c\u0001")",
                          R"("d")"};
  std::vector<std::string> docs;  // docs[k]: the document with the first k names
  for (int k = 0; k <= 4; k++) {
    std::string d = head;
    for (int i = 0; i < k; i++) d += std::string(i ? "," : "") + quoted[i];
    docs.push_back(d + "]}");
  }

  for (size_t cap = 0; cap <= docs[4].size() + 2; cap++) {
    std::vector<char> buf(cap + 16, '#');
    int got = regst::json_write_name_list(buf.data(), cap, head.c_str(), names, 4);
    for (size_t i = cap; i < buf.size(); i++) ASSERT_EQ(buf[i], '#') << "cap " << cap;
    if (cap < head.size() + 3) {
      EXPECT_EQ(got, -1) << "cap " << cap;
      if (cap > 0) {
        EXPECT_EQ(buf[0], '\0') << "cap " << cap;
      }
      continue;
    }
    int want = 0;
    while (want < 4 && docs[want + 1].size() + 1 <= cap) want++;
    EXPECT_EQ(got, want) << "cap " << cap;
    EXPECT_STREQ(buf.data(), docs[want].c_str()) << "cap " << cap;
  }
}

}  // namespace
