// Upload session state: how many bytes a session holds so far, which the
// upload endpoint reports to clients that resume or check an upload.
#include "storage_internal.h"

using namespace regst;

extern "C" {

int64_t reg_upload_get_size(const char *upload_uuid) {
  if (upload_uuid == nullptr) {
    set_error("upload_uuid is NULL");
    return -1;
  }
  char path[kPathSize];
  if (session_path_checked(upload_uuid, path) != 0) return -1;
  // A directory of that name is no session.
  int64_t size = file_exists(path) ? file_size(path) : -1;
  if (size < 0) {
    set_error("upload not found: %s", upload_uuid);
    return -1;
  }
  return size;
}

}  // extern "C"
