// Filled in by its own change.
#include "oci_common.h"
