// An image source may include diag.
#include "diag/dump.h"
#include "image/page_rules.h"
