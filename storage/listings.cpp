// Filled in by its own change.
#include "storage_internal.h"
