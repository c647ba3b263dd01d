// Stand-in printer calls until the link is built: the page is taken and not sent.
#include "backend/printer.h"

int init_t58() { return 0; }
int32_t t58_Print(int32_t, PageData*) { return 0; }
void close_t58() {}
