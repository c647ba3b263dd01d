#include "link/t58_link.h"

#include "link/status.h"

#include <unistd.h>

void T58Transport::pause(uint32_t microseconds) {
    usleep(microseconds);
}

T58Link::T58Link(T58Transport& transport) : transport(transport) {}

OpenResult init_t58(T58Link& link) {
    if (link.transport.open() == 0 && getDot_T58(link) == 0) {
        return OpenResult::Opened;
    }
    // A failed head query leaves nothing open behind it for the next attempt.
    link.transport.close();
    return OpenResult::Failed;
}

void close_t58(T58Link& link) {
    link.transport.close();
}
