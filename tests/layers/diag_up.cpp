// A diag source that includes image: this must not build.
#include "image/head.h"
