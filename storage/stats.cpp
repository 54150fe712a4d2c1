// Storage statistics: counts repositories, tags, blobs and upload sessions
// by walking the tree afresh on each call. Nothing is cached or changed; a
// directory that cannot be listed simply contributes nothing.
#include <stdio.h>

#include "storage_internal.h"

namespace regst {

namespace {

// Counts the plain files of one directory and adds their sizes (those that
// can be read and are above 0) to *bytes. -1 when it cannot be listed.
int count_files(const char *dir, int64_t *bytes, dir_listing *listing) {
  if (list_dir(dir, listing) != 0) return -1;
  int count = 0;
  for (int i = 0; i < listing->count; i++) {
    const dir_entry &e = listing->entries[i];
    if (e.is_dir) continue;
    char path[kPathSize];
    path_join(path, sizeof path, dir, e.name);
    int64_t size = file_size(path);
    if (size > 0) *bytes += size;
    count++;
  }
  return count;
}

}  // namespace

int count_repos() {
  char dir[kPathSize];
  repos_dir(dir, sizeof dir);
  dir_listing listing;
  if (list_dir(dir, &listing) != 0) return 0;
  int count = 0;
  for (int i = 0; i < listing.count; i++) {
    if (listing.entries[i].is_dir) count++;
  }
  return count;
}

int count_tags() {
  char dir[kPathSize];
  repos_dir(dir, sizeof dir);
  dir_listing repos;
  if (list_dir(dir, &repos) != 0) return 0;
  // Only one level below the repository area: tags of nested repository
  // names are not found, as the catalog lists only their first component.
  dir_listing tags;
  int count = 0;
  for (int i = 0; i < repos.count; i++) {
    if (!repos.entries[i].is_dir) continue;
    const char *repo = repos.entries[i].name;
    char tags_dir[kPathSize];
    manifest_tags_dir(repo, tags_dir, sizeof tags_dir);
    if (list_dir(tags_dir, &tags) != 0) continue;
    // A tag is a directory whose link can be read, empty or not.
    for (int j = 0; j < tags.count; j++) {
      if (tags.entries[j].is_dir && tag_link_readable(repo, tags.entries[j].name)) count++;
    }
  }
  return count;
}

int64_t count_blobs(int *out_count) {
  *out_count = 0;
  char blobs[kPathSize], dir[kPathSize];
  path_join(blobs, sizeof blobs, s_root, "blobs");
  path_join(dir, sizeof dir, blobs, "sha256");
  dir_listing shards;
  if (list_dir(dir, &shards) != 0) return 0;
  // Files lying directly in sha256 and directories inside a shard are not
  // blobs; file names are not checked.
  dir_listing files;
  int64_t bytes = 0;
  int count = 0;
  for (int i = 0; i < shards.count; i++) {
    if (!shards.entries[i].is_dir) continue;
    char shard[kPathSize];
    path_join(shard, sizeof shard, dir, shards.entries[i].name);
    int n = count_files(shard, &bytes, &files);
    if (n > 0) count += n;
  }
  *out_count = count;
  return bytes;
}

int count_uploads(int64_t *out_bytes) {
  *out_bytes = 0;
  char dir[kPathSize];
  path_join(dir, sizeof dir, s_root, "uploads");
  dir_listing listing;
  int64_t bytes = 0;
  int count = count_files(dir, &bytes, &listing);
  if (count < 0) return 0;
  *out_bytes = bytes;
  return count;
}

}  // namespace regst

using namespace regst;

extern "C" {

const char *reg_storage_get_stats_json(void) {
  if (require_ready() != 0) return nullptr;
  int repos = count_repos();
  int blobs = 0;
  int64_t blob_bytes = count_blobs(&blobs);
  int tags = count_tags();
  int64_t upload_bytes = 0;
  int uploads = count_uploads(&upload_bytes);

  snprintf(s_result, sizeof s_result,
           "{\"version\":\"1.0.0\",\"repositories\":%d,\"tags\":%d,\"blobs\":%d,"
           "\"blob_bytes\":%lld,\"active_uploads\":%d,\"upload_bytes\":%lld}",
           repos, tags, blobs, static_cast<long long>(blob_bytes), uploads,
           static_cast<long long>(upload_bytes));
  return s_result;
}

}  // extern "C"
