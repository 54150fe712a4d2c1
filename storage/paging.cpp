// Paged tag list and catalog over whole directories.
//
// A page is the n smallest names (by byte value) after a given name. The
// walk reads every entry of the directories it covers but keeps at most n
// names, so a repository with tens of thousands of tags costs one pass over
// its tags directory and n names of memory, and the page always fits the
// shared result buffer.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "storage_internal.h"

namespace regst {

namespace {

constexpr size_t kMaxRepoName = 255;
constexpr size_t kMaxTag = 128;
constexpr size_t kSlotSize = 256;  // one page name and its NUL
static_assert(kSlotSize > kMaxRepoName && kSlotSize > kMaxTag, "a page name fits its slot");
static_assert(REG_NEXT_SIZE >= kSlotSize, "the next-page name always fits");
// Listed names need no escaping (see component_ok and tag_valid): a page
// of the largest names, quoted and separated, and the escaped head fit.
static_assert(REG_PAGE_MAX * (kMaxRepoName + 3) + 2048 < kResultSize,
              "a full page fits the result buffer");

// The n smallest names offered that sort after `last`, in order, and
// whether any further name was offered. `names` points into `slots` and is
// kept sorted; inserting moves pointers, never the names themselves.
struct page {
  char (*slots)[kSlotSize] = nullptr;
  char **names = nullptr;
  size_t count = 0;
  size_t cap = 0;
  bool more = false;
  const char *last = nullptr;  // null: from the start

  page() = default;
  page(const page &) = delete;
  page &operator=(const page &) = delete;
  ~page() {
    free(slots);
    free(names);
  }
};

// Room for `cap` names; false when memory runs out.
bool page_alloc(page *p, size_t cap) {
  p->cap = cap;
  if (cap == 0) return true;
  p->slots = static_cast<char(*)[kSlotSize]>(malloc(cap * kSlotSize));
  p->names = static_cast<char **>(malloc(cap * sizeof(char *)));
  return p->slots != nullptr && p->names != nullptr;
}

bool after_last(const page &p, const char *name) {
  return p.last == nullptr || strcmp(name, p.last) > 0;
}

// False when offering `name` could change nothing: it sorts at or before
// `last`, or the page is full, already known to have more, and the name
// sorts after its last. Spares the check of whether a tag is one.
bool page_wants(const page &p, const char *name) {
  if (!after_last(p, name)) return false;
  if (p.count < p.cap || !p.more) return true;
  return strcmp(name, p.names[p.count - 1]) < 0;
}

// Names longer than a slot are never offered (callers check the name rules).
void page_offer(page *p, const char *name) {
  if (!after_last(*p, name) || strlen(name) >= kSlotSize) return;
  char *slot = nullptr;
  if (p->count == p->cap) {
    p->more = true;
    if (p->cap == 0 || strcmp(name, p->names[p->count - 1]) >= 0) return;
    slot = p->names[--p->count];  // the largest name leaves; reuse its slot
  } else {
    slot = p->slots[p->count];
  }
  // First position whose name sorts after `name` (strcmp: unsigned bytes).
  size_t lo = 0, hi = p->count;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (strcmp(p->names[mid], name) <= 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  memmove(p->names + lo + 1, p->names + lo, (p->count - lo) * sizeof(char *));
  memcpy(slot, name, strlen(name) + 1);
  p->names[lo] = slot;
  p->count++;
}

// Writes head, the page's names and "]}" into the result buffer, and the
// next-page name into out_next. Null when the page does not fit (it always
// does within the name rules above).
const char *page_write(const page &p, const char *head, char *out_next, size_t next_size) {
  int count = static_cast<int>(p.count);
  int written = json_write_name_list(s_result, kResultSize, head, p.names, count);
  if (written < 0 || (written == 0 && count > 0)) {
    set_error("page does not fit the result buffer");
    return nullptr;
  }
  if (written < count || p.more) {
    snprintf(out_next, next_size, "%s", p.names[written - 1]);
  } else {
    out_next[0] = '\0';
  }
  return s_result;
}

// Sets up the page for size n: negative is refused, above the maximum
// capped.
int page_start(page *p, int n, const char *last) {
  if (n < 0) {
    set_error("invalid page size");
    return -1;
  }
  if (!page_alloc(p, static_cast<size_t>(n < REG_PAGE_MAX ? n : REG_PAGE_MAX))) {
    set_error("out of memory");
    return -1;
  }
  p->last = last != nullptr && last[0] != '\0' ? last : nullptr;
  return 0;
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

// The subdirectory names of one directory, copied to the heap so that the
// directory handle can be closed before the walk descends.
struct name_list {
  char **items = nullptr;
  size_t count = 0;
  size_t cap = 0;

  name_list() = default;
  name_list(const name_list &) = delete;
  name_list &operator=(const name_list &) = delete;
  ~name_list() {
    for (size_t i = 0; i < count; i++) free(items[i]);
    free(items);
  }
};

bool name_list_add(name_list *l, const char *name) {
  if (l->count == l->cap) {
    size_t cap = l->cap ? l->cap * 2 : 16;
    char **items = static_cast<char **>(realloc(l->items, cap * sizeof(char *)));
    if (items == nullptr) return false;
    l->items = items;
    l->cap = cap;
  }
  char *copy = xstrdup(name);
  if (copy == nullptr) return false;
  l->items[l->count++] = copy;
  return true;
}

// Offers every repository at or below `dir`, whose name is `name` ("" for
// the repository area itself). The subdirectories are read and the handle
// closed before descending, so one directory is open at a time; names stop
// at 255 characters, which bounds the depth. -1 when a directory cannot be
// read to its end, or memory runs out.
int walk_repos(const char *dir, const char *name, page *p) {
  plat_dir *d = plat_dir_open(dir);
  if (d == nullptr) return -1;
  name_list subs;
  bool is_repo = false;
  char entry[kNameSize];
  int is_dir = 0;
  int rc = 0;
  while ((rc = plat_dir_next(d, entry, sizeof entry, &is_dir)) == 1) {
    if (!is_dir) continue;
    if (strcmp(entry, "_manifests") == 0) {
      is_repo = true;
    } else if (component_ok(entry) && !name_list_add(&subs, entry)) {
      rc = -1;
      break;
    }
  }
  plat_dir_close(d);
  if (rc < 0) return -1;
  if (is_repo && name[0] != '\0') page_offer(p, name);
  for (size_t i = 0; i < subs.count; i++) {
    const char *sub = subs.items[i];
    char full[kSlotSize];
    char path[kPathSize];
    int full_len = name[0] == '\0' ? snprintf(full, sizeof full, "%s", sub)
                                   : snprintf(full, sizeof full, "%s/%s", name, sub);
    int path_len = path_join(path, sizeof path, dir, sub);
    if (full_len < 0 || static_cast<size_t>(full_len) > kMaxRepoName || path_len < 0 ||
        static_cast<size_t>(path_len) >= kPathSize || !repo_name_valid(full))
      continue;
    // A subdirectory that vanished since it was listed holds nothing.
    if (walk_repos(path, full, p) != 0 && dir_exists(path)) return -1;
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
  if (page_start(&p, n, last) != 0) return nullptr;

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
      if (is_dir && tag_valid(name) && page_wants(p, name) && tag_link_readable(repo_name, name))
        page_offer(&p, name);
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
  if (page_start(&p, n, last) != 0) return nullptr;

  char dir[kPathSize];
  repos_dir(dir, sizeof dir);
  if (p.cap > 0 && dir_exists(dir) && walk_repos(dir, "", &p) != 0) {
    set_error("cannot read the repository area");
    return nullptr;
  }
  return page_write(p, "{\"repositories\":[", out_next, next_size);
}

}  // extern "C"
