// A diag source that includes link: this must not build.
#include "link/results.h"
