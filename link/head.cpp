#include "link/status.h"

// The 300 dpi head until the printer says otherwise.
int32_t xDpi = 300;
int32_t yDpi = 300;
int32_t t58RowBytes = 72;
int32_t t58SplitRows = 24;
