// Filled in by its own change.
#include "tn_cgi.h"
