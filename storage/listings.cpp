// Tag list and repository catalog: both read one directory of the tree,
// sort the names they find by byte value and write a small JSON document
// into the shared result buffer.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "storage_internal.h"

namespace regst {

namespace {

// More slots than one listing can yield, so the bound never bites.
constexpr int kNameSlots = 1024;
static_assert(kNameSlots >= kListMax, "a listing must fit the name array");

// Room the writer keeps for the closing "]}" and its NUL.
constexpr size_t kCloseRoom = 3;

// The names kept by one listing call: owned heap copies in a heap array,
// all released when the holder goes, on every path out of the call.
struct name_list {
  char **items = nullptr;
  int count = 0;

  name_list() = default;
  name_list(const name_list &) = delete;
  name_list &operator=(const name_list &) = delete;
  ~name_list() {
    if (items == nullptr) return;
    for (int i = 0; i < count; i++) free(items[i]);
    free(items);
  }
};

int alloc_names(name_list *list) {
  list->items = static_cast<char **>(calloc(kNameSlots, sizeof(char *)));
  if (list->items != nullptr) return 0;
  set_error("out of memory");
  return -1;
}

// Keeps a copy of `name` while slots remain. A copy that cannot be made for
// lack of memory is skipped, so no null ever reaches the sort or the writer.
void keep_name(name_list *list, const char *name) {
  if (list->count >= kNameSlots) return;
  char *copy = xstrdup(name);
  if (copy == nullptr) return;
  list->items[list->count++] = copy;
}

// The escaped form of one byte into `out` (at most 6 bytes); its length.
size_t escape_byte(unsigned char c, char *out) {
  switch (c) {
    case '"': out[0] = '\\'; out[1] = '"'; return 2;
    case '\\': out[0] = '\\'; out[1] = '\\'; return 2;
    case 0x08: out[0] = '\\'; out[1] = 'b'; return 2;
    case 0x09: out[0] = '\\'; out[1] = 't'; return 2;
    case 0x0a: out[0] = '\\'; out[1] = 'n'; return 2;
    case 0x0c: out[0] = '\\'; out[1] = 'f'; return 2;
    case 0x0d: out[0] = '\\'; out[1] = 'r'; return 2;
    default: break;
  }
  if (c < 0x20) {
    static const char hex[] = "0123456789abcdef";
    out[0] = '\\';
    out[1] = 'u';
    out[2] = '0';
    out[3] = '0';
    out[4] = hex[c >> 4];
    out[5] = hex[c & 15];
    return 6;
  }
  out[0] = static_cast<char>(c);
  return 1;
}

size_t escaped_len(const char *s) {
  size_t n = 0;
  char tmp[6];
  for (; *s != '\0'; s++) n += escape_byte(static_cast<unsigned char>(*s), tmp);
  return n;
}

// Appends `,"<escaped name>"` (no comma before the first) when it fits
// together with the closing "]}" and NUL; otherwise writes nothing.
bool put_name(char *buf, size_t cap, size_t *len, const char *name, bool first) {
  size_t need = (first ? 0 : 1) + 1 + escaped_len(name) + 1;
  if (need > cap - *len - kCloseRoom) return false;
  char *p = buf + *len;
  if (!first) *p++ = ',';
  *p++ = '"';
  for (const char *s = name; *s != '\0'; s++) p += escape_byte(static_cast<unsigned char>(*s), p);
  *p++ = '"';
  *len = static_cast<size_t>(p - buf);
  return true;
}

void sort_names(name_list *list) {
  if (list->count > 1) sort_str(list->items, list->count);
}

}  // namespace

size_t json_escape_append(char *dst, size_t room, const char *src) {
  if (src == nullptr) src = "";
  size_t n = 0;
  // Each step leaves at least the 6 bytes of the longest escape and the NUL,
  // so an escape is never cut in half.
  for (; *src != '\0' && n + 8 < room; src++) {
    n += escape_byte(static_cast<unsigned char>(*src), dst + n);
  }
  if (n < room) dst[n] = '\0';
  return n;
}

int str_cmp(const char *a, const char *b) { return strcmp(a, b); }

void sort_str(char **items, int count) {
  for (int i = 1; i < count; i++) {
    char *cur = items[i];
    int j = i - 1;
    while (j >= 0 && str_cmp(items[j], cur) > 0) {
      items[j + 1] = items[j];
      j--;
    }
    items[j + 1] = cur;
  }
}

int json_write_name_list(char *buf, size_t cap, const char *head, char *const *names,
                         int count) {
  if (cap == 0) return -1;
  size_t head_len = strlen(head);
  if (cap < kCloseRoom || head_len > cap - kCloseRoom) {
    buf[0] = '\0';
    return -1;
  }
  memcpy(buf, head, head_len);
  size_t len = head_len;
  int written = 0;
  while (written < count && put_name(buf, cap, &len, names[written], written == 0)) written++;
  memcpy(buf + len, "]}", kCloseRoom);
  return written;
}

}  // namespace regst

using namespace regst;

extern "C" {

const char *reg_tags_list_json(const char *repo_name) {
  if (repo_name == nullptr) {
    set_error("repo_name is NULL");
    return nullptr;
  }
  if (require_ready() != 0) return nullptr;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name");
    return nullptr;
  }

  char tags_dir[kPathSize];
  manifest_tags_dir(repo_name, tags_dir, sizeof tags_dir);
  name_list names;
  if (alloc_names(&names) != 0) return nullptr;

  // A repository without a tags directory (or none at all) has no tags.
  dir_listing listing;
  if (list_dir(tags_dir, &listing) == 0) {
    for (int i = 0; i < listing.count; i++) {
      const dir_entry &e = listing.entries[i];
      if (e.is_dir && tag_link_readable(repo_name, e.name)) keep_name(&names, e.name);
    }
  }
  sort_names(&names);

  // A valid name has at most 255 bytes, each escaped to at most 6, so the
  // head is never cut, and it leaves nearly all of the result buffer free.
  char head[2048];
  static_assert(sizeof head > 9 + 255 * 6 + 11, "head holds any escaped name");
  static_assert(kResultSize > sizeof head + kCloseRoom, "head always fits the result");
  size_t n = static_cast<size_t>(snprintf(head, sizeof head, "{\"name\":\""));
  n += json_escape_append(head + n, sizeof head - n, repo_name);
  snprintf(head + n, sizeof head - n, "\",\"tags\":[");

  json_write_name_list(s_result, sizeof s_result, head, names.items, names.count);
  return s_result;
}

const char *reg_catalog_json(int page_size, const char *last) {
  if (require_ready() != 0) return nullptr;
  char dir[kPathSize];
  repos_dir(dir, sizeof dir);
  name_list names;
  if (alloc_names(&names) != 0) return nullptr;

  // Every directory directly below the repository area is a repository;
  // a nested name shows up once, as its first component.
  dir_listing listing;
  if (list_dir(dir, &listing) == 0) {
    for (int i = 0; i < listing.count; i++) {
      if (listing.entries[i].is_dir) keep_name(&names, listing.entries[i].name);
    }
  }
  sort_names(&names);

  // Start after every name that sorts at or before `last`.
  int start = 0;
  if (last != nullptr && last[0] != '\0') {
    while (start < names.count && str_cmp(names.items[start], last) <= 0) start++;
  }
  // Compared as a difference: start + page_size could overflow an int.
  int end = names.count;
  if (page_size > 0 && page_size < names.count - start) end = start + page_size;

  json_write_name_list(s_result, sizeof s_result, "{\"repositories\":[", names.items + start,
                       end - start);
  return s_result;
}

}  // extern "C"
