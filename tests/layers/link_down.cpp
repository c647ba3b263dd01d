// A link source may include every layer below it.
#include "diag/log.h"
#include "image/assemble.h"
#include "link/t58_link.h"
