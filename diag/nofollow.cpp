#include "diag/nofollow.h"

#include <fcntl.h>

int openNoFollow(const char* path) {
    return open(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
}
