// Filled in by its own change.
#include "sha256.h"
