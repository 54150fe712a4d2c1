// Paged tag list and catalog over whole directories.
//
// A page is the n smallest names (by byte value) after a given name. The
// walk reads every entry of the directories it covers but keeps at most n
// names, so a repository with tens of thousands of tags costs one pass over
// its tags directory and n names of memory, and the page always fits the
// shared result buffer.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform.h"
#include "storage_internal.h"

namespace regst {

namespace {

constexpr size_t kMaxRepoName = 255;
constexpr size_t kMaxTag = 128;
static_assert(REG_NEXT_SIZE > kMaxRepoName && REG_NEXT_SIZE > kMaxTag,
              "the next-page name always fits");
// Listed names need no escaping (see component_ok and tag_valid): a page
// of the largest names, quoted and separated, and the escaped head fit.
static_assert(REG_PAGE_MAX * (kMaxRepoName + 3) + 2048 < kResultSize,
              "a full page fits the result buffer");

// The n smallest names offered that sort after `last`, in order, and
// whether any further name was offered.
struct page {
  std::vector<std::string> names;
  size_t cap = 0;
  bool more = false;
  const char *last = nullptr;  // null: from the start
};

bool after_last(const page &p, const char *name) {
  return p.last == nullptr || strcmp(name, p.last) > 0;
}

// False when offering `name` could change nothing: it sorts at or before
// `last`, or the page is full, already known to have more, and the name
// sorts after its last. Spares the check of whether a tag is one.
bool page_wants(const page &p, const char *name) {
  if (!after_last(p, name)) return false;
  if (p.names.size() < p.cap || !p.more) return true;
  return strcmp(name, p.names.back().c_str()) < 0;
}

void page_offer(page *p, const char *name) {
  if (!after_last(*p, name)) return;
  if (p->names.size() == p->cap) {
    p->more = true;
    if (p->cap == 0 || strcmp(name, p->names.back().c_str()) >= 0) return;
    p->names.pop_back();
  }
  // std::string compares as unsigned bytes, like strcmp.
  auto at = std::lower_bound(p->names.begin(), p->names.end(), name,
                             [](const std::string &a, const char *b) { return a.compare(b) < 0; });
  p->names.insert(at, name);
}

// Writes head, the page's names and "]}" into the result buffer, and the
// next-page name into out_next. Null when the page does not fit (it always
// does within the name rules above).
const char *page_write(const page &p, const char *head, char *out_next, size_t next_size) {
  std::vector<char *> ptrs;
  ptrs.reserve(p.names.size());
  for (const std::string &n : p.names) ptrs.push_back(const_cast<char *>(n.c_str()));
  int count = static_cast<int>(ptrs.size());
  int written = json_write_name_list(s_result, kResultSize, head, ptrs.data(), count);
  if (written < 0 || (written == 0 && count > 0)) {
    set_error("page does not fit the result buffer");
    return nullptr;
  }
  if (written < count || p.more) {
    snprintf(out_next, next_size, "%s", ptrs[written - 1]);
  } else {
    out_next[0] = '\0';
  }
  return s_result;
}

// The page size as a count: negative is refused, above the maximum capped.
int page_cap(int n, size_t *cap) {
  if (n < 0) {
    set_error("invalid page size");
    return -1;
  }
  *cap = static_cast<size_t>(std::min(n, REG_PAGE_MAX));
  return 0;
}

const char *opt_last(const char *last) {
  return last != nullptr && last[0] != '\0' ? last : nullptr;
}

bool alnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// A directory name that can be one component of a repository name:
// letters and digits, with ".", "_" and "-" inside. Leaves out "_manifests"
// and every other name a client could not ask for.
bool component_ok(const char *s) {
  size_t len = strlen(s);
  if (len == 0 || !alnum(static_cast<unsigned char>(s[0])) ||
      !alnum(static_cast<unsigned char>(s[len - 1])))
    return false;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (!alnum(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

// Offers every repository at or below `dir`, whose name is `name` ("" for
// the repository area itself). The subdirectories are read and the handle
// closed before descending, so one directory is open at a time; names stop
// at 255 characters, which bounds the depth. -1 when a directory cannot be
// read to its end.
int walk_repos(const std::string &dir, const std::string &name, page *p) {
  plat_dir *d = plat_dir_open(dir.c_str());
  if (d == nullptr) return -1;
  std::vector<std::string> subs;
  bool is_repo = false;
  char entry[kNameSize];
  int is_dir = 0;
  int rc = 0;
  while ((rc = plat_dir_next(d, entry, sizeof entry, &is_dir)) == 1) {
    if (!is_dir) continue;
    if (strcmp(entry, "_manifests") == 0) {
      is_repo = true;
    } else if (component_ok(entry)) {
      subs.emplace_back(entry);
    }
  }
  plat_dir_close(d);
  if (rc < 0) return -1;
  if (is_repo && !name.empty()) page_offer(p, name.c_str());
  for (const std::string &sub : subs) {
    std::string full = name.empty() ? sub : name + "/" + sub;
    std::string path = dir + "\\" + sub;
    if (full.size() > kMaxRepoName || path.size() >= kPathSize || !repo_name_valid(full.c_str()))
      continue;
    // A subdirectory that vanished since it was listed holds nothing.
    if (walk_repos(path, full, p) != 0 && dir_exists(path.c_str())) return -1;
  }
  return 0;
}

// The checks both page operations begin with.
int page_args_check(const char *out_next, size_t next_size) {
  if (out_next == nullptr) {
    set_error("NULL argument");
    return -1;
  }
  if (next_size < REG_NEXT_SIZE) {
    set_error("next buffer too small");
    return -1;
  }
  return 0;
}

}  // namespace

}  // namespace regst

using namespace regst;

extern "C" {

const char *reg_tags_page_json(const char *repo_name, int n, const char *last, char *out_next,
                               size_t next_size) {
  if (repo_name == nullptr) {
    set_error("repo_name is NULL");
    return nullptr;
  }
  if (page_args_check(out_next, next_size) != 0) return nullptr;
  if (require_ready() != 0) return nullptr;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name");
    return nullptr;
  }
  page p;
  if (page_cap(n, &p.cap) != 0) return nullptr;
  p.last = opt_last(last);

  char tags[kPathSize];
  manifest_tags_dir(repo_name, tags, sizeof tags);
  // No tags directory: no tags. One that exists but cannot be read to its
  // end fails rather than giving a page with tags silently missing.
  if (p.cap > 0 && dir_exists(tags)) {
    plat_dir *d = plat_dir_open(tags);
    if (d == nullptr) {
      set_error("cannot read tags of %s", repo_name);
      return nullptr;
    }
    char name[kNameSize];
    int is_dir = 0;
    int rc = 0;
    while ((rc = plat_dir_next(d, name, sizeof name, &is_dir)) == 1) {
      if (!is_dir || !tag_valid(name) || !page_wants(p, name)) continue;
      // A tag is a tag directory whose link can be read.
      char link[kPathSize];
      char content[128];
      manifest_tag_path(repo_name, name, link, sizeof link);
      if (read_file(link, content, sizeof content, nullptr) == 0) page_offer(&p, name);
    }
    plat_dir_close(d);
    if (rc < 0) {
      set_error("cannot read tags of %s", repo_name);
      return nullptr;
    }
  }

  char head[2048];
  static_assert(sizeof head > 9 + kMaxRepoName * 6 + 11, "head holds any escaped name");
  size_t len = static_cast<size_t>(snprintf(head, sizeof head, "{\"name\":\""));
  len += json_escape_append(head + len, sizeof head - len, repo_name);
  snprintf(head + len, sizeof head - len, "\",\"tags\":[");
  return page_write(p, head, out_next, next_size);
}

const char *reg_catalog_page_json(int n, const char *last, char *out_next, size_t next_size) {
  if (page_args_check(out_next, next_size) != 0) return nullptr;
  if (require_ready() != 0) return nullptr;
  page p;
  if (page_cap(n, &p.cap) != 0) return nullptr;
  p.last = opt_last(last);

  char dir[kPathSize];
  repos_dir(dir, sizeof dir);
  if (p.cap > 0 && dir_exists(dir) && walk_repos(dir, "", &p) != 0) {
    set_error("cannot read the repository area");
    return nullptr;
  }
  return page_write(p, "{\"repositories\":[", out_next, next_size);
}

}  // extern "C"
